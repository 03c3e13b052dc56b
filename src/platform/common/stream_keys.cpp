#include "platform/common/stream_keys.h"

namespace platform {

bool stream_key(unsigned char byte, bool* last_was_cr, char* key) {
    bool after_cr = *last_was_cr;
    *last_was_cr = byte == 13;
    if (byte == '\n') {
        if (after_cr) return false;
        byte = 13;
    }
    *key = static_cast<char>(byte);
    return true;
}

}  // namespace platform
