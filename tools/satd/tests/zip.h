// A zip's entries, read with libarchive's reader: name and bytes of each, in the zip's order.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace teste {

inline std::vector<std::pair<std::string, std::string>> EntradasDoZip(const std::string &zip) {
  std::vector<std::pair<std::string, std::string>> entradas;
  archive *a = archive_read_new();
  archive_read_support_format_zip(a);
  EXPECT_EQ(archive_read_open_memory(a, zip.data(), zip.size()), ARCHIVE_OK);
  archive_entry *e = nullptr;
  int rc;
  while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK) {
    std::string dados;
    char bloco[65536];
    la_ssize_t n;
    while ((n = archive_read_data(a, bloco, sizeof bloco)) > 0) {
      dados.append(bloco, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0) << archive_entry_pathname(e) << ": " << archive_error_string(a);
    entradas.emplace_back(archive_entry_pathname(e), std::move(dados));
  }
  EXPECT_EQ(rc, ARCHIVE_EOF) << archive_error_string(a);
  archive_read_free(a);
  return entradas;
}

} // namespace teste
