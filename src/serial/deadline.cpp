#include "serial/deadline.h"

#include <climits>
#include <cmath>
#include <cstdlib>

namespace qtx {

namespace {

double DeadlineScale() {
    const char* text = std::getenv("QTXFLASH_DEADLINE_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    const double k = std::strtod(text, &end);
    return *end == '\0' && std::isfinite(k) && k >= 1.0 ? k : 1.0;
}

}  // namespace

int ScaledDeadlineMs(int ms) {
    static const double scale = DeadlineScale();
    if (ms <= 0 || scale == 1.0) return ms;
    const double scaled = std::ceil(ms * scale);
    return scaled >= double(INT_MAX) ? INT_MAX : int(scaled);
}

}  // namespace qtx
