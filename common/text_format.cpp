#include "common/text_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/utf8.h"

namespace varnelo {

namespace {

bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One conversion directive (such as "%-8.3ls"), split into what snprintf needs.
struct Spec {
  std::string flags;
  std::string width;      // digits, after a '*' was replaced by its argument
  std::string precision;  // with its '.', or empty
  std::string length;     // h, hh, l, ll, z, j, t, L, I, I32, I64
  char conversion = 0;
};

// Reads the width or precision digits at `*p`, or a '*' taken from the arguments.
std::string ReadCount(const char** p, va_list* args) {
  if (**p == '*') {
    ++*p;
    return std::to_string(va_arg(*args, int));
  }
  const char* start = *p;
  while (IsDigit(**p)) ++*p;
  return std::string(start, *p);
}

// Parses the directive after '%'; false when the text is not one.
bool ParseSpec(const char** p, va_list* args, Spec* spec) {
  while (IsFlag(**p)) spec->flags += *(*p)++;
  spec->width = ReadCount(p, args);
  if (**p == '.') {
    ++*p;
    spec->precision = "." + ReadCount(p, args);
  }
  static const char* const kLengths[] = {"hh", "ll", "I64", "I32", "h", "l",
                                         "z",  "j",  "t",   "L",   "I"};
  for (const char* length : kLengths) {
    const size_t n = std::strlen(length);
    if (std::strncmp(*p, length, n) == 0) {
      spec->length = length;
      *p += n;
      break;
    }
  }
  if (**p == '\0') return false;
  spec->conversion = *(*p)++;
  return true;
}

// A string conversion done here: precision counts bytes and never splits a character, width
// pads with blanks.
void AppendText(std::string* out, const Spec& spec, std::string text) {
  if (!spec.precision.empty()) {
    const size_t limit = static_cast<size_t>(std::strtoul(spec.precision.c_str() + 1, nullptr, 10));
    if (text.size() > limit) {
      size_t cut = limit;
      while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
      text.resize(cut);
    }
  }
  const size_t width = static_cast<size_t>(std::strtoul(spec.width.c_str(), nullptr, 10));
  const size_t padding = text.size() < width ? width - text.size() : 0;
  const bool left = spec.flags.find('-') != std::string::npos;
  if (!left) out->append(padding, ' ');
  out->append(text);
  if (left) out->append(padding, ' ');
}

template <typename T>
void AppendNumber(std::string* out, const Spec& spec, const char* length, T value) {
  const std::string format =
      "%" + spec.flags + spec.width + spec.precision + length + spec.conversion;
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof(buffer), format.c_str(), value);
  if (n > 0) out->append(buffer, static_cast<size_t>(n) < sizeof(buffer) ? n : sizeof(buffer) - 1);
}

bool IsLong(const Spec& spec) {
  return spec.length == "l" || spec.length == "ll" || spec.length == "I64";
}

void AppendSigned(std::string* out, const Spec& spec, va_list* args) {
  long long value;
  if (spec.length == "ll" || spec.length == "I64" || spec.length == "j") {
    value = va_arg(*args, long long);
  } else if (spec.length == "l") {
    value = va_arg(*args, long);
  } else if (spec.length == "z" || spec.length == "t" || spec.length == "I") {
    value = static_cast<long long>(va_arg(*args, std::ptrdiff_t));
  } else {
    value = va_arg(*args, int);
    if (spec.length == "h") value = static_cast<short>(value);
    if (spec.length == "hh") value = static_cast<signed char>(value);
  }
  AppendNumber(out, spec, "ll", value);
}

void AppendUnsigned(std::string* out, const Spec& spec, va_list* args) {
  unsigned long long value;
  if (spec.length == "ll" || spec.length == "I64" || spec.length == "j") {
    value = va_arg(*args, unsigned long long);
  } else if (spec.length == "l") {
    value = va_arg(*args, unsigned long);
  } else if (spec.length == "z" || spec.length == "t" || spec.length == "I") {
    value = va_arg(*args, std::size_t);
  } else {
    value = va_arg(*args, unsigned int);
    if (spec.length == "h") value = static_cast<unsigned short>(value);
    if (spec.length == "hh") value = static_cast<unsigned char>(value);
  }
  AppendNumber(out, spec, "ll", value);
}

// Appends one conversion; false for one this formatter does not know.
bool AppendConversion(std::string* out, const Spec& spec, va_list* args) {
  switch (spec.conversion) {
    case 'd':
    case 'i':
      AppendSigned(out, spec, args);
      return true;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      AppendUnsigned(out, spec, args);
      return true;
    case 'c':
      AppendText(out, spec, std::string(1, static_cast<char>(va_arg(*args, int))));
      return true;
    case 'p':
      AppendNumber(out, spec, "", va_arg(*args, void*));
      return true;
    case 'f':
    case 'e':
    case 'g':
    case 'E':
    case 'G':
      AppendNumber(out, spec, "", va_arg(*args, double));
      return true;
    case 'S':  // the wide string of the wide printf family, as "%ls"
    case 's':
      if (spec.conversion == 'S' || IsLong(spec)) {
        const wchar_t* wide = va_arg(*args, const wchar_t*);
        AppendText(out, spec, wide != nullptr ? WideToUtf8(wide) : std::string("(null)"));
      } else {
        const char* narrow = va_arg(*args, const char*);
        AppendText(out, spec, narrow != nullptr ? std::string(narrow) : std::string("(null)"));
      }
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string FormatUtf8V(const char* format, va_list args) {
  std::string out;
  if (format == nullptr) return out;
  va_list own;
  va_copy(own, args);
  for (const char* p = format; *p != '\0';) {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      const size_t n = next != nullptr ? static_cast<size_t>(next - p) : std::strlen(p);
      out.append(p, n);
      p += n;
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    Spec spec;
    if (!ParseSpec(&p, &own, &spec) || !AppendConversion(&out, spec, &own)) {
      out.append(start, p);  // unknown: as written, and nothing taken from the arguments
    }
  }
  va_end(own);
  return out;
}

std::string FormatUtf8(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatUtf8V(format, args);
  va_end(args);
  return text;
}

std::size_t CopyUtf8Cut(const std::string& text, char* out, std::size_t size) {
  if (out == nullptr || size == 0) return 0;
  size_t n = text.size() < size ? text.size() : size - 1;
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return n;
}

}  // namespace varnelo
