// The steps of a preview's plan, and how they are printed.
#ifndef TUVO_PREVIEW_PLAN_H_
#define TUVO_PREVIEW_PLAN_H_

#include <memory>
#include <string_view>

#include "preview/preview.h"

// The counts of the summary.
struct PlanCounts {
  int moves = 0;        // directories moved
  int converted = 0;    // tunes converted
  int refused = 0;      // tunes left under their old names
  int errors = 0;       // lines the run would log
  int other_files = 0;  // files that are not tunes, which stay
};

// Receives the plan step by step and prints each step at once.
class PlanPrinter {
 public:
  virtual ~PlanPrinter() = default;
  // A note to the reader; |directory|, when not empty, is the directory
  // it is about.
  virtual void note(std::string_view text, std::string_view directory = {}) = 0;
  // A directory move; |from| and |to| as "mv -v" gets them.
  virtual void move(std::string_view from, std::string_view to) = 0;
  // A step the run would log as "|log_line|" (message, " : ", path).
  virtual void skip_move(std::string_view from, std::string_view reason, std::string_view log_line) = 0;
  virtual void convert(std::string_view from, std::string_view to) = 0;
  // A tune (or a directory that cannot be listed) left as it is.
  virtual void refuse(std::string_view path, std::string_view reason, std::string_view log_line) = 0;
  // The document's line 5, without its line ending, before and after.
  virtual void document(std::string_view path, std::string_view before, std::string_view after) = 0;
  virtual void document_stays(std::string_view path, std::string_view reason, std::string_view log_line) = 0;
  virtual void summary(const PlanCounts& counts) = 0;
};

std::unique_ptr<PlanPrinter> make_plan_printer(PlanFormat format);

#endif  // TUVO_PREVIEW_PLAN_H_
