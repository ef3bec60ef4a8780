// The header compiles on its own and twice.
#include "platform/FileURL.h"
#include "platform/FileURL.h"
