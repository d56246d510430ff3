// Printing a preview's plan, as text for people or JSON Lines for scripts.
#include "preview/plan.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

namespace {

class TextPrinter : public PlanPrinter {
 public:
  TextPrinter() { std::cout << "Preview: what tuvo_2 would do in this collection. Nothing is changed.\n\n"; }
  void note(std::string_view text) override { std::cout << "note: " << text << '\n'; }
  void move(std::string_view from, std::string_view to) override {
    std::cout << "renamed '" << from << "' -> '" << to << "'\n";
  }
  void skip_move(std::string_view from, std::string_view reason, std::string_view) override {
    std::cout << "not moved: " << from << ": " << reason << '\n';
  }
  void convert(std::string_view from, std::string_view to) override {
    std::cout << "convert: " << from << " -> " << to << '\n';
  }
  void refuse(std::string_view path, std::string_view reason, std::string_view) override {
    std::cout << "refused: " << path << ": " << reason << '\n';
  }
  void document(std::string_view path, std::string_view before, std::string_view after) override {
    std::cout << "document: " << path << ", line 5:\n  before: " << before << "\n  after:  " << after << '\n';
  }
  void document_stays(std::string_view path, std::string_view reason, std::string_view) override {
    std::cout << "document stays: " << path << ": " << reason << '\n';
  }
  void summary(const PlanCounts& c) override {
    std::cout << "\nSummary: " << c.moves << " directory moves, " << c.converted << " tunes converted, " << c.refused
              << " tunes refused; " << c.other_files << " files are not tunes and stay.\n"
              << "The run would report " << c.errors << " errors.\n"
              << "Nothing was changed.\n";
  }
};

// A path's bytes as JSON text: valid UTF-8 as it is, any other byte as the
// Latin-1 letter of its value (so that the JSON reads it as \u00XX).
std::string as_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
    bool valid = len > 0 && i + len <= bytes.size();
    for (std::size_t k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(bytes[i + k]) >> 6) == 0x2;
    // Overlong forms and surrogates are not valid UTF-8 either.
    if (valid && len == 2) valid = b >= 0xc2;
    if (valid && len == 3) {
      const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
      valid = !(b == 0xe0 && b1 < 0xa0) && !(b == 0xed && b1 >= 0xa0);
    }
    if (valid && len == 4) {
      const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
      valid = b <= 0xf4 && !(b == 0xf0 && b1 < 0x90) && !(b == 0xf4 && b1 >= 0x90);
    }
    if (valid) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out += static_cast<char>(0xc0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3f));
      ++i;
    }
  }
  return out;
}

class JsonPrinter : public PlanPrinter {
 public:
  void note(std::string_view text) override { print({{"action", "note"}, {"reason", as_utf8(text)}}); }
  void move(std::string_view from, std::string_view to) override {
    print({{"action", "move"}, {"from", as_utf8(from)}, {"to", as_utf8(to)}});
  }
  void skip_move(std::string_view from, std::string_view reason, std::string_view log_line) override {
    print({{"action", "skip-move"}, {"from", as_utf8(from)}, {"reason", as_utf8(reason)}, {"log", as_utf8(log_line)}});
  }
  void convert(std::string_view from, std::string_view to) override {
    print({{"action", "convert"}, {"from", as_utf8(from)}, {"to", as_utf8(to)}});
  }
  void refuse(std::string_view path, std::string_view reason, std::string_view log_line) override {
    print({{"action", "refuse"}, {"from", as_utf8(path)}, {"reason", as_utf8(reason)}, {"log", as_utf8(log_line)}});
  }
  void document(std::string_view path, std::string_view before, std::string_view after) override {
    print({{"action", "document"}, {"from", as_utf8(path)}, {"before", as_utf8(before)}, {"after", as_utf8(after)}});
  }
  void document_stays(std::string_view path, std::string_view reason, std::string_view log_line) override {
    print({{"action", "document"}, {"from", as_utf8(path)}, {"reason", as_utf8(reason)}, {"log", as_utf8(log_line)}});
  }
  void summary(const PlanCounts& c) override {
    print({{"action", "summary"},
           {"moves", c.moves},
           {"converted", c.converted},
           {"refused", c.refused},
           {"errors", c.errors},
           {"other_files", c.other_files}});
  }

 private:
  // ASCII only: every letter beyond it is written \uXXXX, so that a byte
  // that was not UTF-8 reads as \u00XX.
  static void print(const nlohmann::ordered_json& step) { std::cout << step.dump(-1, ' ', true) << '\n'; }
};

}  // namespace

std::unique_ptr<PlanPrinter> make_plan_printer(PlanFormat format) {
  if (format == PlanFormat::Json) return std::make_unique<JsonPrinter>();
  return std::make_unique<TextPrinter>();
}
