#include "Platform.h"

namespace {
bool g_headless = false;
}

namespace Platform {
bool Headless() {
    return g_headless;
}
void SetHeadless(bool headless) {
    g_headless = headless;
}
} // namespace Platform
