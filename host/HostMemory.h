// Memory the host gives back between requests.
#pragma once

// Hands the free memory of the C runtime's heap back to the system. After a
// large request its many freed pieces would otherwise stay with the process
// for the rest of the conversation.
void ReleaseFreeMemory();
