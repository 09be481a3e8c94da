// Standard output as the program uses it: the listings are bytes, exactly as written.
#pragma once

namespace kolvo {

// Call before anything is written. On Windows it puts standard output in binary mode, so that
// the C runtime does not turn each "\n" into "\r\n"; elsewhere output is bytes already.
void prepare_standard_output() noexcept;

// Whether standard output is a terminal, which obeys the control characters it is sent.
bool standard_output_is_terminal() noexcept;

// Keeps what the process holds (the key, the token) out of core files, and out of reach of
// other processes of the same user that would read its memory (ptrace, /proc/PID/mem). Call
// first thing; does nothing where the system has no such switch.
void protect_process_memory() noexcept;

}  // namespace kolvo
