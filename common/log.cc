// The agents' running log: timestamp caches, the MQ call report, system error texts.
#include "common/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <ostream>

#include "platform/platform.h"

namespace {

// One formatted local time per format, redone only when the second changes.
struct TimestampCache {
  const char* format;
  time_t second = -1;
  char text[25] = {};
};

const char* cachedTimestamp(TimestampCache& cache) {
  time_t now = time(nullptr);
  if (now != cache.second) {
    cache.second = now;
    tm local{};
    localtime_r(&now, &local);
    if (strftime(cache.text, sizeof cache.text, cache.format, &local) == 0) cache.text[0] = '\0';
  }
  return cache.text;
}

TimestampCache logCache{"%Y/%m/%d %H:%M:%S"};
TimestampCache reportCache{"%d%m%Y %H:%M:%S"};
TimestampCache fileNameCache{"%d%m%Y.log"};

char directoryCache[260] = {};

constexpr size_t kStampLength = 19;

// "YYYY/MM/DD hh:mm:ss" at the start of a line.
bool beginsWithStamp(const std::string& line) {
  constexpr const char* kShape = "dddd/dd/dd dd:dd:dd";
  if (line.size() <= kStampLength) return false;
  for (size_t i = 0; i < kStampLength; ++i) {
    const char c = line[i];
    const bool digit = c >= '0' && c <= '9';
    if (kShape[i] == 'd' ? !digit : c != kShape[i]) return false;
  }
  return true;
}

int64_t steadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One standard stream behind its repeat filter; puts the stream's own buffer back at exit.
struct CollapsedStream {
  CollapsedStream(std::ostream& s) : stream(s), filter(s.rdbuf(), kRepeatPeriodMs) {}
  ~CollapsedStream() {
    stream.flush();
    filter.finish();
    stream.rdbuf(filter.target());
  }
  std::ostream& stream;
  RepeatCollapsingBuffer filter;
};

}  // namespace

std::string groupedDigits(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

RepeatCollapsingBuffer::RepeatCollapsingBuffer(std::streambuf* target, int64_t periodMs,
                                               Clock clock)
    : target_(target), periodMs_(periodMs), clock_(clock ? std::move(clock) : steadyMilliseconds) {}

RepeatCollapsingBuffer::~RepeatCollapsingBuffer() {
  finish();
}

void RepeatCollapsingBuffer::finish() {
  endRun();
  write(line_);
  line_.clear();
  recent_.clear();
  target_->pubsync();
}

RepeatCollapsingBuffer::int_type RepeatCollapsingBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  line_.push_back(traits_type::to_char_type(c));
  if (line_.back() == '\n') endLine();
  return c;
}

std::streamsize RepeatCollapsingBuffer::xsputn(const char* text, std::streamsize count) {
  for (std::streamsize i = 0; i < count; ++i) {
    line_.push_back(text[i]);
    if (text[i] == '\n') endLine();
  }
  return count;
}

int RepeatCollapsingBuffer::sync() {
  return target_->pubsync();
}

void RepeatCollapsingBuffer::endLine() {
  const int64_t now = clock_();
  const bool stamped = beginsWithStamp(line_);
  if (!block_.empty()) {
    if (stamped && line_.compare(kStampLength, std::string::npos, block_[matched_]) == 0) {
      holdRepeatedLine(now);
      return;
    }
    endRun();
  }
  const size_t length = stamped ? repeatingBlock(line_.substr(kStampLength), now) : 0;
  if (length > 0) {
    startRun(length);
    holdRepeatedLine(now);
    return;
  }
  writeRemembered(line_, now);
  line_.clear();
}

size_t RepeatCollapsingBuffer::repeatingBlock(const std::string& text, int64_t now) const {
  for (size_t length = 1; length <= recent_.size(); ++length) {
    const Seen& start = recent_[recent_.size() - length];
    if (start.text == text && (length == 1 || now - start.at < kFastRepeatMs)) return length;
  }
  return 0;
}

void RepeatCollapsingBuffer::startRun(size_t length) {
  block_.clear();
  for (size_t i = recent_.size() - length; i < recent_.size(); ++i) {
    block_.push_back(recent_[i].text);
  }
  writtenAt_ = recent_[recent_.size() - length].at;
  matched_ = 0;
  repeats_ = 0;
}

void RepeatCollapsingBuffer::holdRepeatedLine(int64_t now) {
  held_.push_back({line_, now});
  lastStamp_.assign(line_, 0, kStampLength);
  line_.clear();
  if (++matched_ < block_.size()) return;
  // A whole repeat: counted, or a period after the block was written, written again.
  if (now - writtenAt_ >= periodMs_) {
    writeSummary();
    writeHeld();
    writtenAt_ = now;
  } else {
    ++repeats_;
    repeatedAt_ = now;
  }
  held_.clear();
  matched_ = 0;
}

void RepeatCollapsingBuffer::endRun() {
  writeSummary();
  writeHeld();  // the lines of an unfinished repeat, as they came
  block_.clear();
  matched_ = 0;
}

void RepeatCollapsingBuffer::writeHeld() {
  for (const Seen& held : held_) writeRemembered(held.text, held.at);
  held_.clear();
}

void RepeatCollapsingBuffer::writeRemembered(const std::string& line, int64_t at) {
  write(line);
  if (!beginsWithStamp(line)) {
    recent_.clear();  // a line without a timestamp is never part of a repeat
    return;
  }
  recent_.push_back({line.substr(kStampLength), at});
  if (recent_.size() > kLongestBlock) recent_.pop_front();
}

void RepeatCollapsingBuffer::writeSummary() {
  if (repeats_ == 0) return;
  const int64_t seconds = std::max<int64_t>(1, (repeatedAt_ - writtenAt_ + 999) / 1000);
  const std::string tail =
      " repeated " + groupedDigits(repeats_) + " times in " + std::to_string(seconds) + " s\n";
  for (std::string text : block_) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    write(lastStamp_ + text + tail);
  }
  repeats_ = 0;
}

void RepeatCollapsingBuffer::write(const std::string& text) {
  target_->sputn(text.data(), static_cast<std::streamsize>(text.size()));
}

const char* logTimestamp() {
  return cachedTimestamp(logCache);
}

const char* reportTimestamp() {
  return cachedTimestamp(reportCache);
}

const char* logFileName() {
  return cachedTimestamp(fileNameCache);
}

const char* currentDirectory() {
  if (directoryCache[0] == '\0' &&
      !platform::getCurrentDirectory(directoryCache, sizeof directoryCache)) {
    directoryCache[0] = '\0';  // ask again next time
    std::cerr << SystemErrorText;
    std::cout << SystemErrorText;
  }
  return directoryCache;
}

bool settingsFilePath(const char* name, char* out, size_t size) {
  int written;
  if (platform::isAbsolutePath(name)) {
    written = std::snprintf(out, size, "%s", name);
  } else {
    written =
        std::snprintf(out, size, "%s%c%s", currentDirectory(), platform::pathSeparator(), name);
  }
  return written >= 0 && static_cast<size_t>(written) < size;
}

bool reportUnreadableSettings(const char* path) {
  if (platform::canReadFile(path)) return true;
  std::string text = platform::errorText(platform::lastError());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  for (std::ostream* out : {&std::cerr, &std::cout}) {
    *out << logTimestamp() << " Settings file '" << path << "' cannot be read (" << text
         << "); the defaults apply.\n";
  }
  return false;
}

std::ostream& operator<<(std::ostream& out, SystemErrorTextT) {
  return out << logTimestamp() << ' ' << platform::errorText(platform::lastError());
}

MQLONG reportMqCall(const char* callName, MQLONG compCode, MQLONG reason) {
  if (compCode != MQCC_FAILED) return compCode;
  for (std::ostream* out : {&std::cerr, &std::cout}) {
    *out << logTimestamp() << " MQI Call Failed.\n"
         << logTimestamp() << ' ' << (callName != nullptr ? callName : "") << '\n'
         << logTimestamp() << " CompCode = " << compCode << " Reason = " << reason << std::endl;
  }
  return compCode;
}

void initLogStreams() {
  static CollapsedStream out(std::cout);
  static CollapsedStream err(std::cerr);
  std::cout.rdbuf(&out.filter);
  std::cerr.rdbuf(&err.filter);
  std::cerr.setf(std::ios::unitbuf);
  std::cerr.tie(&std::cout);
}

void EndProcess(ExitCode code) {
  std::cout.flush();
  std::cerr.flush();
  std::exit(code);  // the filters write what they hold back as the statics end
}
