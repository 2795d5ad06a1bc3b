// File: fuzz/make_artefact_seeds.cc
//
// Writes artefact_fuzz's seed corpus (artefact_seeds.cc) into a directory, one file per
// seed. Usage: make_artefact_seeds <output dir>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "artefact_seeds.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_artefact_seeds <output dir>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  for (const quelt::fuzz::Seed& seed : quelt::fuzz::artefact_seeds()) {
    std::ofstream out(dir / (seed.name + ".bin"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()),
              static_cast<std::streamsize>(seed.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "make_artefact_seeds: cannot write %s\n", seed.name.c_str());
      return 1;
    }
  }
  return 0;
}
