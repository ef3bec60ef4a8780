// The header compiles on its own and twice.
#include "platform/SingleInstance.h"
#include "platform/SingleInstance.h"
