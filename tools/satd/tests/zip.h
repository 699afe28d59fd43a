// A zip's entries, name and bytes, read with libarchive's reader; a name twice fails.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <map>
namespace teste {

inline std::map<std::string, std::string> EntradasDoZip(const std::string &zip) {
  std::map<std::string, std::string> entradas;
  archive *a = archive_read_new();
  EXPECT_TRUE(archive_read_support_format_zip(a) == ARCHIVE_OK &&
              archive_read_open_memory(a, zip.data(), zip.size()) == ARCHIVE_OK);
  archive_entry *e = nullptr;
  char bloco[65536];
  int rc;
  while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK) {
    std::string &dados = entradas[archive_entry_pathname(e)];
    EXPECT_TRUE(dados.empty()) << "twice: " << archive_entry_pathname(e);
    la_ssize_t n;
    while ((n = archive_read_data(a, bloco, sizeof bloco)) > 0) {
      dados.append(bloco, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0) << archive_error_string(a);
  }
  EXPECT_EQ(rc, ARCHIVE_EOF) << archive_error_string(a);
  archive_read_free(a);
  return entradas;
}

} // namespace teste
