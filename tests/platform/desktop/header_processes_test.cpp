// The header compiles on its own and twice.
#include "platform/Processes.h"
#include "platform/Processes.h"
