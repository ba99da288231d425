#include "vector_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int vector_open(struct vector_file *file, const char *dir, const char *name) {
  char path[512];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE *f = fopen(path, "rb");
  if (f == NULL) return 0;
  size_t size = 0, got;
  file->text = NULL;
  do {
    char *grown = realloc(file->text, size + 4096 + 1);
    if (grown == NULL) break;
    file->text = grown;
    got = fread(file->text + size, 1, 4096, f);
    size += got;
  } while (got == 4096);
  fclose(f);
  if (file->text == NULL) return 0;
  file->text[size] = '\0';
  file->next = 0;
  file->section = "";
  return 1;
}

void vector_close(struct vector_file *file) {
  free(file->text);
  file->text = NULL;
}

static char *trim(char *s) {
  while (*s == ' ' || *s == '\t') ++s;
  char *end = s + strlen(s);
  while (end > s && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
  *end = '\0';
  return s;
}

int vector_next(struct vector_file *file, const char **name, const char **value) {
  while (file->text[file->next] != '\0') {
    char *line = file->text + file->next;
    char *newline = strchr(line, '\n');
    file->next = newline ? (size_t)(newline - file->text) + 1 : file->next + strlen(line);
    if (newline) *newline = '\0';
    line = trim(line);
    if (line[0] == '[') {
      file->section = line;
      continue;
    }
    char *equals = strstr(line, " = ");
    if (line[0] == '#' || equals == NULL) continue;
    *equals = '\0';
    *name = trim(line);
    *value = trim(equals + 3);
    return 1;
  }
  return 0;
}

size_t hex_bytes(const char *hex, uint8_t *out, size_t max) {
  size_t n = 0;
  for (; n < max && hex[2 * n] && hex[2 * n + 1]; ++n) {
    unsigned byte;
    if (sscanf(hex + 2 * n, "%2x", &byte) != 1) break;
    out[n] = (uint8_t)byte;
  }
  return n;
}
