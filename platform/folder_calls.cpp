#include "platform/folder_calls.h"

FolderSystemCalls g_folderCalls = {::GetFileInformationByHandle, ::SetSecurityInfo, ::GetSecurityInfo, ::MoveFileExW,
                                   ::WriteFile};
