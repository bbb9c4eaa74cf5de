// make_markup SIZE_MIB FILE: markup with tags and text but without <head>, <title>, meta tags.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_markup SIZE_MIB FILE\n");
    return 2;
  }
  const std::size_t size = std::strtoull(argv[1], nullptr, 10) << 20;
  const std::vector<std::string> pieces = {"<div class=\"item\">",
                                           "</div>",
                                           "<p>",
                                           "</p>",
                                           "<a href=\"/catalogue/page-17.html\">",
                                           "</a>",
                                           "<span>",
                                           "</span>",
                                           "<td>",
                                           "</td>",
                                           "<tr>",
                                           "</tr>",
                                           "<li>",
                                           "</li>",
                                           "<img src=\"/img/photo.jpg\" alt=\"A photo\">",
                                           "<br>",
                                           "<table>",
                                           "</table>",
                                           "The quick brown fox jumps over the lazy dog. ",
                                           "Opening hours: Monday to Friday. ",
                                           "Prices include tax and delivery. ",
                                           "\n",
                                           "<strong>",
                                           "</strong>",
                                           "<em>",
                                           "</em>",
                                           "<script src=\"/js/app.js\"></script>",
                                           "<link rel=\"stylesheet\" href=\"/s.css\">"};
  std::mt19937 rng(1);
  std::string out;
  out.reserve(size + 256);
  while (out.size() < size) out += pieces[rng() % pieces.size()];
  out.resize(size);
  FILE* f = std::fopen(argv[2], "wb");
  if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size()) return 1;
  std::fclose(f);
  return 0;
}
