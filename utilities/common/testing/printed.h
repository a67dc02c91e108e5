// What a print function writes to a stream, as a string.
#ifndef KAVEX_UTILITIES_COMMON_TESTING_PRINTED_H_
#define KAVEX_UTILITIES_COMMON_TESTING_PRINTED_H_

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>

namespace kavex::utilities::testing {

inline std::string Printed(const std::function<void(FILE*)>& print) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  print(out);
  fclose(out);
  std::string text(buffer, size);
  free(buffer);
  return text;
}

}  // namespace kavex::utilities::testing

#endif  // KAVEX_UTILITIES_COMMON_TESTING_PRINTED_H_
