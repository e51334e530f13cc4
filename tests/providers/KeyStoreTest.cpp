// The Linux key store itself: files, processes, transactions.
#include "ProviderSupport.h"
