// The domain list and the provider tags.
#include "run/domain_list.h"

#include "run/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
  // 254 characters of a line and the terminator per read; the rest of a
  // longer line is read as the next line.
  LINE_BUFFER_SIZE = 256,
  LINE_READ_LIMIT = 255,
  // Shorter lines cannot hold a provider, a colon and a domain.
  MIN_LINE_LENGTH = 3,
};

char *domain_list[MAX_DOMAINS];
int domain_count;
bool domain_list_cut;
// A tag's position is its row in the result table.
const char *const provider_tags[PROVIDER_TAG_COUNT] = {
    "zelkor",  "quarin", "tovessa", "brelm",
    "ruvo-ns", "9pel",   "marvoly", "pelnox",
};

// Windows editors often start a UTF-8 file with a byte order mark; left in,
// it would hide the first line's provider tag. Only the very start of the
// file is looked at, and anything else there is read again in full.
static void skip_byte_order_mark(std::FILE *file) {
  static const int BYTE_ORDER_MARK[] = {0xEF, 0xBB, 0xBF};
  for (int i = 0; i < 3; i++) {
    int c = std::fgetc(file);
    if (c == BYTE_ORDER_MARK[i])
      continue;
    // One byte can always be pushed back; more need the file rewound.
    if (i == 0 && c != EOF)
      std::ungetc(c, file);
    else if (i > 0)
      std::rewind(file);
    return;
  }
}

// The next piece of the file that the list keeps, without its line end;
// false at the end of the file.
static bool read_line(std::FILE *file, char line[LINE_BUFFER_SIZE]) {
  while (std::fgets(line, LINE_READ_LIMIT, file)) {
    // strlen, not the bytes read: a NUL byte ends the text early.
    std::size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\n')
      line[--len] = '\0';
    if (len > 0 && line[len - 1] == '\r')
      line[--len] = '\0';
    if (len >= MIN_LINE_LENGTH)
      return true;
  }
  return false;
}

int load_domain_list(const char *path) {
  for (int i = 0; i < domain_count; i++) {
    std::free(domain_list[i]);
    domain_list[i] = nullptr;
  }
  domain_count = 0;
  domain_list_cut = false;
  // Binary, so that a "\r\n" file reads the same on every platform (the
  // endings are stripped below) and a stray 0x1A byte does not end the file
  // early on Windows.
  std::FILE *file = std::fopen(path, "rb");
  if (!file) {
    console_error("%s\n", path);
    console_perror("fopen failed");
    return -1;
  }
  skip_byte_order_mark(file);
  char line[LINE_BUFFER_SIZE];
  int stored = 0;
  while (read_line(file, line)) {
    // A failed copy leaves a null entry, which the workers skip.
    std::size_t len = std::strlen(line);
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy)
      std::memcpy(copy, line, len + 1);
    domain_list[stored++] = copy;
    if (stored == MAX_DOMAINS) {
      console_error("too many\n");
      break;
    }
  }
  // Only a line that would have been kept is one that the limit cost.
  domain_list_cut = stored == MAX_DOMAINS && read_line(file, line);
  std::fclose(file);
  domain_count = stored;
  return 0;
}

char *split_provider(char *line) {
  char *colon = std::strchr(line, ':');
  if (!colon)
    return nullptr;
  *colon = '\0';
  return colon + 1;
}

int match_provider(const char *field) {
  for (int row = 0; row < PROVIDER_TAG_COUNT; row++) {
    const char *tag = provider_tags[row];
    if (std::strncmp(field, tag, std::strlen(tag)) == 0)
      return row;
  }
  return -1;
}

char *usable_domain(const char *entry, char copy[LINE_COPY_SIZE], int *row) {
  if (!entry)
    return nullptr;
  std::strncpy(copy, entry, LINE_COPY_SIZE - 1);
  char *domain = split_provider(copy);
  if (!domain)
    return nullptr;
  *row = match_provider(copy);
  return *row < 0 ? nullptr : domain;
}
