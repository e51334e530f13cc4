// Key-pair generation and request orchestration.
#pragma once
#include <windows.h>

#include "Misc.h"

// Deletes the containers whose names are not empty; always VELA_OK.
HRESULT DeleteMultiCertContainer(const WString& wstrFirstContainer, const WString& wstrSecondContainer,
                                 const WString& wstrCSPName);
