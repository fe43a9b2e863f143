// The two sets of list rules.
#include "run/run_list.h"

#include "run/domain_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

const char BARE_ROW_NAME[] = "-";

namespace {

void start_list(run_list *list, int rules) {
  list->rules = rules;
  list->written.clear();
  list->providers.assign(provider_tags, provider_tags + PROVIDER_TAG_COUNT);
  list->lines.clear();
  list->probed = 0;
  list->cut = false;
  list->control_lines = 0;
  list->first_control.clear();
}

// A control character other than the blank a tab is.
bool holds_control(const char *begin, const char *end) {
  for (const char *p = begin; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if ((c < 0x20 && c != '\t') || c == 0x7F)
      return true;
  }
  return false;
}

void put_utf8(std::string *out, unsigned long c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | c >> 6);
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | c >> 12);
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | c >> 18);
    *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Windows Notepad's "Unicode" (UTF-16 LE) and "Unicode big endian", after
// their mark; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(const std::string &bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size());
  const std::size_t n = bytes.size() / 2;
  auto unit = [&](std::size_t i) -> unsigned long {
    const unsigned long a = static_cast<unsigned char>(bytes[2 * i]);
    const unsigned long b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return big_endian ? (a << 8 | b) : (b << 8 | a);
  };
  for (std::size_t i = 1; i < n; ++i) { // unit 0 is the mark
    unsigned long c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    put_utf8(&out, c);
  }
  return out;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// [begin, end) without the blanks at either end.
void trim(const char **begin, const char **end) {
  while (*begin < *end && is_blank(**begin))
    ++*begin;
  while (*end > *begin && is_blank((*end)[-1]))
    --*end;
}

// The lines of a whole file (byte order mark and all) under the open rules.
void parse_open_list(const std::string &file, run_list *list) {
  start_list(list, LIST_OPEN);
  std::string decoded;
  const std::string *text = &file;
  std::size_t start = 0;
  if (file.size() >= 2 && (file.compare(0, 2, "\xFF\xFE") == 0 ||
                           file.compare(0, 2, "\xFE\xFF") == 0)) {
    decoded = utf16_to_utf8(file, file[0] == '\xFE');
    text = &decoded;
  } else if (file.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    start = 3;
  }
  // Rows of the list's own tags, by name; the row of bare domains comes
  // last, so it is placed once the list is read.
  std::unordered_map<std::string, int> own_rows;
  bool any_bare = false;
  const char *p = text->data() + start;
  const char *const stop = text->data() + text->size();
  while (p < stop) {
    const char *end = static_cast<const char *>(
        std::memchr(p, '\n', static_cast<std::size_t>(stop - p)));
    if (!end)
      end = stop;
    const char *next = end < stop ? end + 1 : stop;
    if (end > p && end[-1] == '\r')
      --end;
    trim(&p, &end);
    if (p == end || *p == '#') {
      p = next;
      continue;
    }
    if (holds_control(p, end)) {
      if (list->control_lines++ == 0)
        list->first_control.assign(p, end);
      p = next;
      continue;
    }
    const char *colon = static_cast<const char *>(
        std::memchr(p, ':', static_cast<std::size_t>(end - p)));
    list_line line;
    line.row = NO_ROW;
    line.unconvertible = false;
    if (colon) {
      const char *tag_end = colon;
      const char *domain = colon + 1;
      trim(&p, &tag_end);
      trim(&domain, &end);
      const std::string tag(p, tag_end);
      line.domain.assign(domain, end);
      if (!tag.empty()) {
        line.row = match_provider(tag.c_str());
        if (line.row < 0) {
          auto found =
              own_rows.emplace(tag, static_cast<int>(list->providers.size()));
          if (found.second)
            list->providers.push_back(tag);
          line.row = found.first->second;
        }
      }
    } else {
      line.domain.assign(p, end);
    }
    if (line.row == NO_ROW) {
      any_bare = true;
      line.row = -2; // placed below
    }
    list->lines.push_back(std::move(line));
    p = next;
  }
  if (any_bare) {
    const int bare_row = static_cast<int>(list->providers.size());
    list->providers.push_back(BARE_ROW_NAME);
    for (list_line &line : list->lines)
      if (line.row == -2)
        line.row = bare_row;
  }
  list->probed = list->lines.size();
}

} // namespace

const std::string &written_domain(const run_list *list, std::size_t i) {
  auto found = list->written.find(i);
  return found == list->written.end() ? list->lines[i].domain : found->second;
}

int load_open_list(const char *path, run_list *list) {
  std::FILE *file = std::fopen(path, "rb");
  if (!file)
    return -1;
  std::string text;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    errno = error ? error : EIO;
    return -1;
  }
  parse_open_list(text, list);
  return 0;
}

int load_classic_list(const char *path, run_list *list) {
  start_list(list, LIST_CLASSIC);
  if (load_domain_list(path) != 0)
    return -1;
  for (int i = 0; i < domain_count; ++i) {
    char copy[LINE_COPY_SIZE] = {};
    list_line line;
    line.row = NO_ROW;
    line.unconvertible = false;
    const char *domain = usable_domain(domain_list[i], copy, &line.row);
    if (domain) {
      line.domain = domain;
      ++list->probed;
    } else {
      line.row = NO_ROW;
    }
    list->lines.push_back(std::move(line));
  }
  list->cut = domain_list_cut;
  return 0;
}
