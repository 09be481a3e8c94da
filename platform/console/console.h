// Standard output as the program uses it: the listings are bytes, exactly as written.
#pragma once

namespace kolvo {

// Call before anything is written. On Windows it puts standard output in binary mode, so that
// the C runtime does not turn each "\n" into "\r\n"; elsewhere output is bytes already.
void prepare_standard_output() noexcept;

}  // namespace kolvo
