#include <cstdlib>
#include <initializer_list>
#include <string>

#include "api/argumentos.h"
#include "tests/unit/substituto.h"

namespace {

class ArgumentosTest : public SubstitutoTest {};

// Every part keeps its place, empty or not: the device finds its fields by counting '|'.
TEST_F(ArgumentosTest, JuntaParametrosKeepsASeparatorForEveryPart) {
  const struct {
    std::initializer_list<const char *> partes;
    std::string juntas;
  } casos[] = {
      {{"abc", "000041"}, "abc|000041"},
      {{"", "000041"}, "|000041"},
      {{"a", "", "c"}, "a||c"},
      {{"a", ""}, "a|"},
      {{"", "", ""}, "||"},
      {{""}, ""},
      {{"so"}, "so"},
  };
  for (const auto &c : casos) {
    SCOPED_TRACE(c.juntas);
    char *texto = JuntaParametros(42, c.partes);
    ASSERT_NE(texto, nullptr);
    EXPECT_EQ(std::string(texto), c.juntas);
    std::free(texto);
  }
}

} // namespace
