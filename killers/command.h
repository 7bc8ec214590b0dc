// The contract between the scan run and the cleaning commands.
#pragma once
#include <string>

// What a command may ask of the one who runs it: whether the user pressed
// "停止查杀". Commands poll it between their steps and return early when true.
class ICommunication
{
public:
    virtual bool IsStopRequested() = 0;

protected:
    ~ICommunication() {}
};

// One cleaning pass over the drives or the registry, run once on the scan
// worker's stack. Commands report only through the scan log.
class CCommand
{
public:
    CCommand() : m_pComm(NULL), m_nDeleted(0), m_nRepaired(0) {}
    virtual ~CCommand() {}

    // Stores comm, does the work, returns 0.
    virtual int Run(ICommunication* comm) = 0;

protected:
    // True once the user asked to stop; false while no one is asking.
    bool StopRequested() const { return m_pComm && m_pComm->IsStopRequested(); }

    ICommunication* m_pComm;
    int m_nDeleted;       // files this command deleted
    int m_nRepaired;      // settings this command put right
    std::wstring m_strName;  // the worm file name, for the infection sweep

private:
    CCommand(const CCommand&);
    CCommand& operator=(const CCommand&);
};

// A cleaning module driven in two steps: look (Scan), then remove (Clean).
// The five operations keep this order; no one destroys a module through it.
class IModuleKillClient
{
public:
    virtual int Init(void* context) = 0;
    virtual int Query() = 0;
    virtual int Scan() = 0;
    virtual int Clean() = 0;
    virtual int Uninit() = 0;

protected:
    ~IModuleKillClient() {}
};

// The do-nothing module: finds nothing, cleans nothing.
class IModuleKillClientNull : public IModuleKillClient
{
public:
    IModuleKillClientNull() : m_pContext(NULL) {}

    virtual int Init(void* context);
    virtual int Query();
    virtual int Scan();
    virtual int Clean();
    virtual int Uninit();

protected:
    ~IModuleKillClientNull() {}
    void* m_pContext;
};

// A UTF-16 text (a path, in practice) in the thread's ANSI code page, as a log
// line wants it; characters the code page lacks become its default character,
// control characters "?" (WithoutControlChars).
std::string ToLogText(const wchar_t* text);

// A repair value with folder marks filled in: "<PF>" the Program Files folder,
// "<WD>" the Windows folder, each with its trailing backslash.
std::wstring ExpandFolderMarks(const wchar_t* pattern);
