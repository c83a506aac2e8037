// The wildcard matcher of folder searches, the same on every system: the POSIX search matches
// names with it, and on Windows it states the rules that FindFirstFile applies itself.
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace {

char lowerAscii(unsigned char c) {
  return static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
}

// The wildcard rules of a Windows folder search. The mask is read as the search reads it:
//   '?'                           any one character; before a '.' or at the end of the name
//                                 it matches nothing ("b?.txt" takes "b.txt")
//   '.' before '?', '*' or at the end of the mask
//                                 a '.' or, at the end of the name, nothing ("report.*" takes
//                                 "report", "*." takes names without an extension)
//   '*' before a '.'              any run of characters that holds no last '.' of the name
//   '*' elsewhere                 any run of characters
// Other characters match themselves without regard to case.
class MaskMatcher {
 public:
  MaskMatcher(std::string_view name, std::string_view mask)
      : name_(name), lastDot_(name.rfind('.')) {
    for (size_t i = 0; i < mask.size(); ++i) {
      const char next = i + 1 < mask.size() ? mask[i + 1] : '\0';
      Item item{Kind::kLiteral, mask[i]};
      if (mask[i] == '?') item.kind = Kind::kOneOrNone;
      if (mask[i] == '*') item.kind = next == '.' ? Kind::kRunBeforeDot : Kind::kRun;
      if (mask[i] == '.' && (next == '?' || next == '*' || next == '\0')) item.kind = Kind::kDot;
      items_.push_back(item);
    }
    known_.assign((items_.size() + 1) * (name_.size() + 1), kUnknown);
  }
  bool matches() { return from(0, 0); }

 private:
  enum class Kind { kLiteral, kOneOrNone, kRun, kRunBeforeDot, kDot };
  struct Item {
    Kind kind;
    char c;
  };
  static constexpr signed char kUnknown = -1;

  // True when items [item...] match the name from character at. Each pair is worked once.
  bool from(size_t item, size_t at) {
    signed char& known = known_[item * (name_.size() + 1) + at];
    if (known == kUnknown) known = step(item, at) ? 1 : 0;
    return known == 1;
  }

  bool step(size_t item, size_t at) {
    if (item == items_.size()) return at == name_.size();
    const bool atEnd = at == name_.size();
    const Item& i = items_[item];
    switch (i.kind) {
      case Kind::kRun:
        return from(item + 1, at) || (!atEnd && from(item, at + 1));
      case Kind::kRunBeforeDot:
        return from(item + 1, at) || (!atEnd && at != lastDot_ && from(item, at + 1));
      case Kind::kOneOrNone:
        return atEnd || name_[at] == '.' ? from(item + 1, at) : from(item + 1, at + 1);
      case Kind::kDot:
        if (atEnd) return from(item + 1, at);
        return name_[at] == '.' && from(item + 1, at + 1);
      case Kind::kLiteral:
        return !atEnd && lowerAscii(name_[at]) == lowerAscii(i.c) && from(item + 1, at + 1);
    }
    return false;
  }

  std::string_view name_;
  size_t lastDot_;
  std::vector<Item> items_;
  std::vector<signed char> known_;
};

}  // namespace

bool matchesMask(const char* name, const char* mask) {
  if (name == nullptr || mask == nullptr) return false;
  return MaskMatcher(name, mask).matches();
}

}  // namespace platform
