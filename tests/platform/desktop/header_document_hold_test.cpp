// The header compiles on its own and twice.
#include "platform/DocumentHold.h"
#include "platform/DocumentHold.h"
