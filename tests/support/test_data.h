// Test data and the waiting and reading that every end-to-end test does: bytes of a pattern,
// whole files, the lines of a program's log, and polling for a condition with a time limit.
#ifndef QT_TESTS_SUPPORT_TEST_DATA_H
#define QT_TESTS_SUPPORT_TEST_DATA_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// `size` bytes of a cheap deterministic pattern; no two seeds give the same bytes.
std::string patternBytes(size_t size, uint32_t seed);
// `data` cut into pieces of `segmentSize` bytes (the last one shorter; none for no data).
std::vector<std::string> splitSegments(const std::string& data, size_t segmentSize);

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

// The lines of a log with the 19-character timestamp taken off each (shorter lines as they are).
std::vector<std::string> logLines(const std::string& log);
// Lines of `log` that are `text` after their timestamp, or `text` alone (a few lines carry no
// timestamp).
int countLines(const std::string& log, const std::string& text);
bool hasLine(const std::string& log, const std::string& text);
// Lines of `log` that end with `tail`, whatever comes before it.
int countLinesEndingWith(const std::string& log, const std::string& tail);
// Occurrences of `text` anywhere in `log`.
int countText(const std::string& log, const std::string& text);

// Calls done() every stepMs until it holds or timeoutMs pass; the result of the last call.
bool pollUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 10);

}  // namespace testsupport

#endif  // QT_TESTS_SUPPORT_TEST_DATA_H
