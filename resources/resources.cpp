#include "resources/resources.h"

#include <QtGlobal>

void chatferry_init_resources()
{
    // Resources in a static library are dropped by the linker unless
    // something references them; qt_add_resources wires that up through
    // object libraries, this only gives callers one place to depend on.
}
