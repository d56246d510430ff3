// The run driver: the dialogue, the preflight checks, the phases of the
// conversion in their fixed order, and the summary.
#include "run/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>
#include <iostream>

#include "record/record.h"
#include "rules/ascii.h"
#include "rules/line_five.h"

namespace {

constexpr char kBanner[] =
    "TUVO_2/Linux \t\t\t\t\t\tDate: September 10, 1997\n\n"
    "For TUVO_2 to work correctly, you must unzip/copy the tool directly\n"
    "within the Quormel SIDs main directory (named 'c64music' if you haven't\n"
    "renamed it).  Once you have done this you should have the file under a\n"
    "similar path as the following:\tc64music/tuvo_2\n"
    "The device can vary as well as the name of the main QM SIDs directory.  In\n"
    "addition, the main QM SIDs directory doesn't have to be at the root.\n\n"
    "This tool will convert Quormel SID Collection (TUVO) 1.6 to long file\n"
    "names and long directory names.\n"
    "The file names will use 27 characters for the base filename, and 4 charcters\n"
    "for the extension (a total of 31 characters).  The new TUVO standard extension\n"
    "is \".sid\" which will also be handled by the this tool.  Directory names will be\n"
    "limited to 30 characters.  All of these numbers are based on a common\n"
    "denominator from four major OSes: Win95, AmigaOS, Linux/Unix, and MacOS.\n"
    "Further, all filenames will consist purely of the following characters:\n"
    "A-Z a-z 0-9 _ (underscore) - (dash) and a period (the extension separator).\n"
    "These choices should ensure future portability to other OSes.  MSDOS style\n"
    "filenames (8.3) will no longer be supported by the TUVO crew.  The audience for\n"
    "8.3 OSes is no longer large enough to focus on.  People using 8.3 OSes will\n"
    "still be able to hear the new sids in the updates, however.  A general long\n"
    "file sid renaming tool will be spawned from this tool in the very near future.\n\n";

constexpr char kBackupQuestion[] =
    "(Don't forget to backup QM SIDs!) Do you wish to continue? (Y/N) > ";
constexpr char kContinueQuestion[] = "Do you wish to continue? > ";

constexpr char kMainDirectoryWarning[] =
    "TUVO (when unzipped) creates a main directory named C64MUSIC.  This directory\n"
    "was not found one level higher from the current location of where the TUVO_2\n"
    "program was executed.  More than likely, you are executing the program from "
    "the\nwrong path.  However, the name of this directory can be changed to whatever\n"
    "name you desire without harming this or the UPDATE program.  If you have\n"
    "renamed the main directory, then it is recommended that you continue.  "
    "If you\nhave not renamed the main dir, it is recommended that you re-read the\n"
    "instructions at the start of this program.\n";

constexpr char kMarkerWarning[] =
    "\nPelkora directory not detected!\n"
    "Perhaps you did not follow the directions stated at the start of this "
    "program?\nThe TUVO_2 program must be run under the root directory of "
    "of TUVO.  Errors\nwill likely occur if you continue.\n";

constexpr char kReleaseWarning[] =
    "\nIt appears that you do not have TUVO 1.6.  In order to gaurentee "
    "successful\n updates in the future, it is highly recommended that you quit "
    "this program\n and update your collection.  Only then should you proceed "
    "with TUVO_2.\n";

constexpr char kDocumentWarning[] =
    "\nThe \"/documnts/qm_sids.txt\" file was not found.  TUVO_2 requires "
    "TUVO version\n1.6 in order gaurentee successful updates in the future.  "
    "If you are confident\nthat you have TUVO 1.6 AND you have (for whatever reason) "
    "removed the\naforementioned text file, then it is recommended that you proceed.  "
    "If this is\nnot the case, it is recommended that you exit now and update your "
    "collection\nbefore continuing.\n";

constexpr char kMainDirectoryPath[] = "../c64music/";
constexpr char kMarkerPath[] = "./PELKORA";
constexpr char kReleaseDocumentPath[] = "./documnts/qm_sids.txt";
constexpr char kReleaseMark[] = "1.6";

constexpr char kBusyMessage[] = "tuvo_2: another run is converting this collection; nothing was changed\n";
// The exit status of a run that found the collection held by another.
constexpr int kExitBusy = 1;

// Permissions of the text files the run creates, before the umask.
constexpr mode_t kTextFileMode = 0664;

void set_path(char (&buffer)[kPathBufferSize], const char* path) {
  std::strncpy(buffer, path, kPathBufferSize - 1);
  buffer[kPathBufferSize - 1] = '\0';
}

// Resolves |path| in |buffer|; true when it exists in some case.
bool path_exists(FileSystem& fs, char (&buffer)[kPathBufferSize], const char* path) {
  set_path(buffer, path);
  convert_separators(buffer, '/');
  return resolve_path_nocase(fs, buffer, '/') != nullptr;
}

// True when line 5 of the document at |path| names release 1.6. Reuses
// |path| as the line buffer.
bool document_is_release_1_6(FileSystem& fs, char (&path)[kPathBufferSize]) {
  static_assert(kPathBufferSize == kLineBufferSize);
  // The first lines are enough; anything but a file reads as no lines.
  std::string head;
  if (is_regular_file(fs, path)) {
    const int fd = fs.open_file(path);
    char block[kLineBufferSize];
    for (ssize_t got; fd >= 0 && head.size() < kReleaseLineNumber * kLineBufferSize &&
                      (got = read(fd, block, sizeof block)) > 0;) {
      head.append(block, static_cast<std::size_t>(got));
    }
    if (fd >= 0) close(fd);
  }
  std::istringstream document(head);
  for (int i = 0; i < kReleaseLineNumber; ++i) read_line(document, path);
  return std::strstr(path, kReleaseMark) != nullptr;
}

// A disk that cannot confirm the run's changes makes the run a failure. It
// is said on standard error, after every line logged before it, so that the
// summary can point there.
void report_unsynced(int error) {
  report_on_stderr(std::string("The disk did not confirm that every change reached it: ") + std::strerror(error) +
                   '\n');
}

}  // namespace

char ask_continue(std::string_view question, AnswerForm form) {
  std::cout << question;
  // Standard input is tied to standard output, so the question shows before
  // the read waits. At end of input the read leaves |answer| untouched.
  char answer = '\0';
  // One answer per line: what else was typed on it (the "es" of "yes") must
  // not answer the next question.
  if (std::cin >> answer) std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  if (form == AnswerForm::Strict) std::cout << "\n\n";
  return ascii_upper(answer);
}

bool open_text_output(std::ofstream& file, const char* name) {
  // Created here first: the stream library would make it 0666. The name
  // must be a plain file: a link could point out of the collection, and a
  // FIFO would block the run.
  const int fd = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kTextFileMode);
  if (fd < 0) return false;
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!regular) return false;
  file.open(name, std::ios::out | std::ios::trunc);
  return file.is_open();
}

void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // open returns the lowest free descriptor: the closed one.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);
  }
}

Preflight check_collection(FileSystem& fs) {
  char check[kPathBufferSize];
  Preflight found;
  found.main_directory_missing = !path_exists(fs, check, kMainDirectoryPath);
  found.marker_missing = !path_exists(fs, check, kMarkerPath);
  found.document_missing = !path_exists(fs, check, kReleaseDocumentPath);
  found.not_release_1_6 = !found.document_missing && !document_is_release_1_6(fs, check);
  return found;
}

int run_conversion() {
  char check[kPathBufferSize];
  char base[kPathBufferSize];

  std::cout << kBanner;
  if (ask_continue(kBackupQuestion, AnswerForm::Strict) != 'Y') return 0;

  // Two runs in one collection would move the same directories and write
  // the same files. The lock is held until the process ends.
  if (lock_collection() == LockResult::Busy) {
    std::cerr << kBusyMessage;
    return kExitBusy;
  }

  RealFileSystem disk;
  // The checks only read; each warning is asked about in turn.
  const Preflight found = check_collection(disk);
  if (found.main_directory_missing) {
    std::cout << kMainDirectoryWarning;
    if (ask_continue(kContinueQuestion, AnswerForm::Strict) == 'N') return 0;
  }

  set_path(base, ".");

  if (found.marker_missing) {
    std::cout << kMarkerWarning;
    if (ask_continue(kContinueQuestion, AnswerForm::Plain) == 'N') return 0;
  }

  if (found.not_release_1_6) {
    std::cout << kReleaseWarning;
    if (ask_continue(kContinueQuestion, AnswerForm::Plain) == 'N') return 0;
  } else if (found.document_missing) {
    std::cout << kDocumentWarning;
    if (ask_continue(kContinueQuestion, AnswerForm::Plain) == 'N') return 0;
  }

  const std::time_t start = std::time(nullptr);
  const bool log_opened = open_text_output(g_error_log, kErrorLogName);
  catch_stop_signals();
  // Every change from here on is recorded first, so that it can be undone.
  const std::unique_ptr<ChangeJournal> record = start_undo_record(disk);
  ConsoleReporter console;
  const Context ctx{disk, *record, console};

  rename_directories(ctx);
  if (!stop_requested()) {
    std::memcpy(check, base, sizeof check);
    walk_tree(ctx, check);
  }
  if (!stop_requested()) rewrite_release_line(ctx, check);
  record->run_finished();
  // The summary speaks of what is on the disk: a power cut after it loses
  // nothing.
  if (!disk.sync_all()) report_unsynced(errno);
  g_error_log.close();
  if (stop_requested()) finish_stopped_run();

  const std::time_t end = std::time(nullptr);
  std::cout << "\nConversion time = " << std::difftime(end, start) << " seconds\n";

  if (g_error_count < 1) {
    // Only a log this run made is removed: what stands under its name
    // otherwise (a FIFO, a link) is not ours.
    if (log_opened) unlink(kErrorLogName);
    std::cout << "\nConversion was successful!  Enjoy TUVO 2.0!\n";
  } else if (log_opened && !log_lines_on_stderr()) {
    std::cout << '\n'
              << g_error_count << " errors detected.  Check the tuvo_2.err file for details.\n";
  } else {
    std::cout << '\n' << g_error_count << " errors detected.  They are listed above on standard error.\n";
  }
  return 0;
}
