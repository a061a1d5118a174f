#include "rbb_swd.h"

namespace vpod::detail {

bool RbbSwdBridge::cycle(bool drive, bool swdio, bool read, bool readAfterRise) {
    bool fresh = false;
    if (!link_.connect(&fresh)) return true;
    if (fresh) directionSent_ = false;   // a new connection learns the direction afresh
    if (!directionSent_ || drive != driving_) {
        link_.put(drive ? 'O' : 'o');
        driving_ = drive;
        directionSent_ = true;
    }
    const char bit = swdio ? 1 : 0;
    bool level = swdio;
    link_.put(static_cast<char>('d' + bit));    // SWCLK low, SWDIO changes
    if (read && !readAfterRise) level = link_.query('c');
    link_.put(static_cast<char>('f' + bit));    // SWCLK high: the target samples
    if (read && readAfterRise) level = link_.query('c');
    return level;
}

}  // namespace vpod::detail
