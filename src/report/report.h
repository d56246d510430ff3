// What a conversion tells the user as it goes: each file it writes, on
// standard output, and each thing it could not convert, as a line of the
// error log. The phases tell a Reporter; the run's prints and logs, the
// preview's shows the plan.
#ifndef TUVO_REPORT_REPORT_H_
#define TUVO_REPORT_REPORT_H_

#include <fstream>
#include <ostream>
#include <string>
#include <string_view>

// The log of what could not be converted, "tuvo_2.err" in the current
// directory while a conversion runs.
extern std::ofstream g_error_log;
// Lines written to the error log so far.
extern int g_error_count;

inline constexpr char kErrorLogName[] = "tuvo_2.err";

// The one failure the walk reports for a tune left under its old name.
inline constexpr char kDuplicateFileMessage[] = "Duplicate File?";
// A directory of the collection that could not be listed, so that the tunes
// in it (if any) were not converted.
inline constexpr char kUnreadableDirectoryMessage[] = "Unreadable Directory?";
// A directory left under its old name: its new name was taken, or mv could
// not start or failed.
inline constexpr char kUnmovedDirectoryMessage[] = "Unmoved Directory?";
// The document left as it was although it should have been rewritten.
inline constexpr char kUnconvertedDocumentMessage[] = "Unconverted Document?";

// What could not be converted, one kind per line of the log.
enum class Failure {
  DuplicateFile,        // a tune left under its old name
  UnreadableDirectory,  // a directory that could not be listed
  UnmovedDirectory,     // a directory left under its old name
  UnconvertedDocument,  // the document left as it was
};

// The words the log gives |failure|.
std::string_view message_of(Failure failure);

// Writes "<message> : <path>\n" to |log|, flushed so that the line survives
// an interrupted run, and adds one to |counter|. When |log| cannot take the
// line (it never opened, or the disk is full), that line, the lines the log
// took before it, and every later line go to standard error instead, so
// that the summary can point at one place. Returns |log|.
std::ostream& log_error(std::ostream& log, std::string_view message, std::string_view path,
                        int& counter);

// True once the log failed to take a line, so that every line logged is on
// standard error instead.
bool log_lines_on_stderr();

// Says |text| on standard error, after every line logged before it (which
// then go there too), and counts it as an error: a failure that belongs to
// no path, told where the summary points.
void report_on_stderr(std::string_view text);

class Reporter {
 public:
  virtual ~Reporter() = default;
  // |path| was just written: the run prints it, one line each.
  virtual void written(const char* path) = 0;
  // The tune |old_path| was just replaced by the file last written.
  virtual void tune_replaced(const char* old_path) { static_cast<void>(old_path); }
  // Why the failure about to be reported happens, in a few words.
  virtual void explain(std::string_view why) { static_cast<void>(why); }
  // |path| could not be converted.
  virtual void failed(Failure failure, std::string_view path) = 0;
};

// The run's: paths on standard output, failures in g_error_log, counted in
// g_error_count.
class ConsoleReporter final : public Reporter {
 public:
  void written(const char* path) override;
  void failed(Failure failure, std::string_view path) override;
};

#endif  // TUVO_REPORT_REPORT_H_
