// Resource ids of StickMedic.
#pragma once

#define IDR_LNKFIX_REG 209
#define IDR_FIX_REG 211
