#include "support/concat.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "support/alloc.h"

char* concat_shared_buffer = nullptr;

namespace {

size_t total_length(const char* first, va_list pieces) {
  size_t total = 0;
  for (const char* piece = first; piece != nullptr; piece = va_arg(pieces, const char*))
    total += strlen(piece);
  return total;
}

char* copy_pieces(char* destination, const char* first, va_list pieces) {
  char* end = destination;
  for (const char* piece = first; piece != nullptr; piece = va_arg(pieces, const char*)) {
    size_t length = strlen(piece);
    memcpy(end, piece, length);
    end += length;
  }
  *end = '\0';
  return destination;
}

char* build_string(const char* first, va_list pieces) {
  va_list second_pass;
  va_copy(second_pass, pieces);
  char* result = static_cast<char*>(checked_alloc(total_length(first, pieces) + 1));
  copy_pieces(result, first, second_pass);
  va_end(second_pass);
  return result;
}

}  // namespace

size_t concat_total_length(const char* first, ...) {
  va_list pieces;
  va_start(pieces, first);
  size_t total = total_length(first, pieces);
  va_end(pieces);
  return total;
}

char* concat_into(char* destination, const char* first, ...) {
  va_list pieces;
  va_start(pieces, first);
  copy_pieces(destination, first, pieces);
  va_end(pieces);
  return destination;
}

char* concat_into_shared(const char* first, ...) {
  va_list pieces;
  va_start(pieces, first);
  copy_pieces(concat_shared_buffer, first, pieces);
  va_end(pieces);
  return concat_shared_buffer;
}

char* concat_strings(const char* first, ...) {
  va_list pieces;
  va_start(pieces, first);
  char* result = build_string(first, pieces);
  va_end(pieces);
  return result;
}

char* concat_replace(char* previous, const char* first, ...) {
  va_list pieces;
  va_start(pieces, first);
  char* result = build_string(first, pieces);
  va_end(pieces);
  free(previous);
  return result;
}
