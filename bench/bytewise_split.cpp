// Baseline for the benchmark: the split done the plain way, with stdio and one
// byte per call, whole header in memory, no sync. Not part of the tool.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
  if (argc != 5) return 2;
  std::FILE* image = std::fopen(argv[2], "rb+");
  if (image == nullptr) return 1;
  unsigned char word[4] = {};
  std::fseek(image, std::atol(argv[1]) & 0xFFFF, SEEK_SET);
  if (std::fread(word, 4, 1, image) != 1) return 1;
  std::fclose(image);
  auto size = static_cast<std::int32_t>(word[0] | word[1] << 8 | word[2] << 16 |
                                        static_cast<std::uint32_t>(word[3]) << 24);
  if (size < 0) return 1;

  auto* header = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(size) + 1));
  image = std::fopen(argv[2], "rb+");
  for (std::int32_t i = 0; i < size; ++i) header[i] = static_cast<unsigned char>(std::fgetc(image));
  std::fclose(image);
  std::FILE* out = std::fopen(argv[3], "wb+");
  std::fwrite(header, 1, static_cast<std::size_t>(size), out);
  std::fclose(out);
  std::free(header);

  image = std::fopen(argv[2], "rb+");
  out = std::fopen(argv[4], "wb+");
  std::fseek(image, size, SEEK_SET);
  unsigned char byte;
  while (std::fread(&byte, 1, 1, image) == 1) std::fwrite(&byte, 1, 1, out);
  std::fclose(image);
  std::fclose(out);
  std::remove(argv[2]);
  return 0;
}
