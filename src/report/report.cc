// The run's reporting: printed paths and the error log.
#include "report/report.h"

#include <iostream>

std::ofstream g_error_log;
int g_error_count = 0;

namespace {

// The lines the error log took so far, and whether it has failed to take
// one, after which every line goes to standard error.
std::string g_lines_logged;
bool g_log_lines_on_stderr = false;

}  // namespace

std::string_view message_of(Failure failure) {
  switch (failure) {
    case Failure::DuplicateFile:
      return kDuplicateFileMessage;
    case Failure::UnreadableDirectory:
      return kUnreadableDirectoryMessage;
    case Failure::UnmovedDirectory:
      return kUnmovedDirectoryMessage;
    case Failure::UnconvertedDocument:
      return kUnconvertedDocumentMessage;
  }
  return {};
}

std::ostream& log_error(std::ostream& log, std::string_view message, std::string_view path,
                        int& counter) {
  ++counter;
  std::string line = std::string(message) + " : " + std::string(path) + '\n';
  if (!g_log_lines_on_stderr) {
    log << line << std::flush;
    if (log) {
      g_lines_logged += line;
      return log;
    }
    // A log that cannot take the line (a full disk, or a log that never
    // opened) must not lose it: from now on every line goes to standard
    // error, those the log took first, so that all are in one place.
    g_log_lines_on_stderr = true;
    line = std::move(g_lines_logged) + line;
  }
  std::cerr << line << std::flush;
  return log;
}

bool log_lines_on_stderr() { return g_log_lines_on_stderr; }

void report_on_stderr(std::string_view text) {
  if (!g_log_lines_on_stderr) std::cerr << g_lines_logged;
  g_log_lines_on_stderr = true;
  std::cerr << text << std::flush;
  ++g_error_count;
}

void ConsoleReporter::written(const char* path) { std::cout << path << '\n'; }

void ConsoleReporter::failed(Failure failure, std::string_view path) {
  log_error(g_error_log, message_of(failure), path, g_error_count);
}
