#include <windows.h>

#include "platform/Clock.h"

namespace platform {

SystemTime SystemClock::Now() const {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    SystemTime t;
    t.wYear = st.wYear;
    t.wMonth = st.wMonth;
    t.wDayOfWeek = st.wDayOfWeek;
    t.wDay = st.wDay;
    t.wHour = st.wHour;
    t.wMinute = st.wMinute;
    t.wSecond = st.wSecond;
    t.wMilliseconds = st.wMilliseconds;
    return t;
}

}  // namespace platform
