// File: tests/c_api/make_test_models.cc
//
// Writes the artefacts that the C tests need beyond a valid model:
//   build_fails.qelt  a sealed, readable artefact with an empty tensor table, so that
//                     reading succeeds and the model build fails (MissingTensor).
// Usage: make_test_models OUT_DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "artefact_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  namespace w = quelt::writer;
  const auto file = w::seal(w::configured_key(), w::make_plaintext({}));
  const std::string path = std::string(argv[1]) + "/build_fails.qelt";
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!out.flush()) {
    std::perror(path.c_str());
    return 1;
  }
  return 0;
}
