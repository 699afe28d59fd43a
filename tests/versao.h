// The library's version text as VersaoLib returns it (Windows-1252), which is also the start
// banner the log writes at load: the one copy the tests compare with.
#pragma once

inline constexpr char kVersaoEsperada[] =
    "TAVRO DLL SAT Vers\xE3o: 02.00.11.05 gerada em 11/12/2017\n";
