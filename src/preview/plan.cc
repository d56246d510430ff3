// Printing a preview's plan, as text for people or JSON Lines for scripts.
#include "preview/plan.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

namespace {

class TextPrinter : public PlanPrinter {
 public:
  TextPrinter() { std::cout << "Preview: what tuvo_2 would do in this collection. Nothing is changed.\n\n"; }
  void note(std::string_view text, std::string_view) override { std::cout << "note: " << text << '\n'; }
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

// The length of the UTF-8 sequence at |i| of |bytes|, or 0 when no valid
// one starts there (overlong forms and surrogates are not valid either).
std::size_t utf8_length(std::string_view bytes, std::size_t i) {
  const auto b = static_cast<unsigned char>(bytes[i]);
  const std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
  if (len == 0 || i + len > bytes.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(bytes[i + k]) >> 6) != 0x2) return 0;
  }
  const unsigned b1 = len > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0;
  if (len == 2 && b < 0xc2) return 0;
  if (len == 3 && ((b == 0xe0 && b1 < 0xa0) || (b == 0xed && b1 >= 0xa0))) return 0;
  if (len == 4 && (b > 0xf4 || (b == 0xf0 && b1 < 0x90) || (b == 0xf4 && b1 >= 0x90))) return 0;
  return len;
}

// |bytes| as text: valid UTF-8 as it is, each other byte as U+FFFD. Sets
// |exact| to false when any byte was replaced.
std::string as_text(std::string_view bytes, bool& exact) {
  static constexpr char kReplacement[] = "\xef\xbf\xbd";
  std::string out;
  out.reserve(bytes.size());
  exact = true;
  for (std::size_t i = 0; i < bytes.size();) {
    if (const std::size_t len = utf8_length(bytes, i)) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out += kReplacement;
      exact = false;
      ++i;
    }
  }
  return out;
}

std::string as_text(std::string_view bytes) {
  bool exact;
  return as_text(bytes, exact);
}

// Sets |key| of |step| to |bytes| as text and, where that text is not
// exactly the bytes (they are not UTF-8), |key|_hex to the bytes in hex.
void put(nlohmann::ordered_json& step, const char* key, std::string_view bytes) {
  bool exact;
  step[key] = as_text(bytes, exact);
  if (exact) return;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0xf];
  }
  step[std::string(key) + "_hex"] = hex;
}

class JsonPrinter : public PlanPrinter {
 public:
  void note(std::string_view text, std::string_view directory) override {
    nlohmann::ordered_json step{{"action", "note"}, {"reason", as_text(text)}};
    if (!directory.empty()) put(step, "directory", directory);
    print(step);
  }
  void move(std::string_view from, std::string_view to) override {
    nlohmann::ordered_json step{{"action", "move"}};
    put(step, "from", from);
    put(step, "to", to);
    print(step);
  }
  void skip_move(std::string_view from, std::string_view reason, std::string_view log_line) override {
    nlohmann::ordered_json step{{"action", "skip-move"}};
    put(step, "from", from);
    step["reason"] = as_text(reason);
    put(step, "log", log_line);
    print(step);
  }
  void convert(std::string_view from, std::string_view to) override {
    nlohmann::ordered_json step{{"action", "convert"}};
    put(step, "from", from);
    put(step, "to", to);
    print(step);
  }
  void refuse(std::string_view path, std::string_view reason, std::string_view log_line) override {
    nlohmann::ordered_json step{{"action", "refuse"}};
    put(step, "from", path);
    step["reason"] = as_text(reason);
    put(step, "log", log_line);
    print(step);
  }
  void document(std::string_view path, std::string_view before, std::string_view after) override {
    nlohmann::ordered_json step{{"action", "document"}};
    put(step, "from", path);
    put(step, "before", before);
    put(step, "after", after);
    print(step);
  }
  void document_stays(std::string_view path, std::string_view reason, std::string_view log_line) override {
    nlohmann::ordered_json step{{"action", "document"}};
    put(step, "from", path);
    step["reason"] = as_text(reason);
    put(step, "log", log_line);
    print(step);
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
  // ASCII only: every letter beyond it is written \uXXXX.
  static void print(const nlohmann::ordered_json& step) { std::cout << step.dump(-1, ' ', true) << '\n'; }
};

}  // namespace

std::unique_ptr<PlanPrinter> make_plan_printer(PlanFormat format) {
  if (format == PlanFormat::Json) return std::make_unique<JsonPrinter>();
  return std::make_unique<TextPrinter>();
}
