// Narrow text on Windows: the ANSI code page of the running thread.
#include <windows.h>

#include <array>
#include <climits>

#include "platform/failure/failure.h"
#include "platform/text/text.h"

namespace kolvo {
namespace {

template <typename Unit>
bool is_ascii(std::basic_string_view<Unit> text) {
  for (const Unit unit : text) {
    if (static_cast<std::make_unsigned_t<Unit>>(unit) >= 0x80) return false;
  }
  return true;
}

// WC_NO_BEST_FIT_CHARS keeps a character the code page lacks from becoming a look-alike
// ("Zürich" is not "Zurich" in 1251): it becomes the code page's own default character. A code
// page of UTF-8 (Windows' "use Unicode UTF-8" option) takes no such flag, and holds everything.
int convert(std::u16string_view utf16, char* out, int room) {
  const auto* units = reinterpret_cast<const wchar_t*>(utf16.data());
  const int count = static_cast<int>(utf16.size());
  int length = WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, units, count, out, room,
                                   nullptr, nullptr);
  if (length == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    length = WideCharToMultiByte(CP_THREAD_ACP, 0, units, count, out, room, nullptr, nullptr);
  }
  // The length is measured just before, and no character is ever refused: only a fault of the
  // system's can end here, and then no text is better than wrong text.
  if (length == 0) {
    throw Failure("text: cannot convert to the code page (error " + std::to_string(GetLastError()) +
                  ")");
  }
  return length;
}

// The lead bytes of the thread's code page, read once per thread: the code page is the thread's.
const std::array<bool, 256>& lead_bytes() {
  thread_local const std::array<bool, 256> table = [] {
    std::array<bool, 256> lead{};
    CPINFO info{};
    if (GetCPInfo(CP_THREAD_ACP, &info) && info.MaxCharSize == 2) {
      // Ranges, in pairs, until a pair of zeros.
      for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
        for (unsigned byte = info.LeadByte[i]; byte <= info.LeadByte[i + 1]; ++byte) {
          lead[byte] = true;
        }
      }
    }
    return lead;
  }();
  return table;
}

}  // namespace

void append_narrow(std::string& out, std::u16string_view utf16) {
  if (is_ascii(utf16)) {
    for (const char16_t unit : utf16) out += static_cast<char>(unit);
    return;
  }
  // Cells are far below this; text that is not cannot come from a body of bounded size.
  if (utf16.size() > INT_MAX / 4) throw Failure("text: too long to convert");
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(convert(utf16, nullptr, 0)));
  convert(utf16, out.data() + start, static_cast<int>(out.size() - start));
}

std::string to_narrow(std::u16string_view utf16) {
  std::string out;
  append_narrow(out, utf16);
  return out;
}

std::string to_narrow(std::string_view utf8) {
  if (is_ascii(utf8)) return std::string(utf8);
  return to_narrow(to_wide(utf8));
}

bool is_narrow_as_it_stands(std::string_view utf8) { return is_ascii(utf8); }

bool is_narrow_lead_byte(char byte) { return lead_bytes()[static_cast<unsigned char>(byte)]; }

}  // namespace kolvo
