// Loads the built library (libsat.so or sat.dll, found beside the test program) for one test
// and unloads it again, so that every test sees a freshly loaded module.
#pragma once

#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "sat.h"

class Biblioteca {
public:
  Biblioteca() {
#if defined(_WIN32)
    modulo_ = LoadLibraryA(Caminho().c_str());
#else
    modulo_ = dlopen(Caminho().c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~Biblioteca() {
    if (modulo_ != nullptr) {
#if defined(_WIN32)
      FreeLibrary(modulo_);
#else
      dlclose(modulo_);
#endif
    }
  }
  Biblioteca(const Biblioteca &) = delete;
  Biblioteca &operator=(const Biblioteca &) = delete;

  bool Carregada() const { return modulo_ != nullptr; }

  template <typename F> F Funcao(const char *nome) const {
#if defined(_WIN32)
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(modulo_, nome)));
#else
    return reinterpret_cast<F>(dlsym(modulo_, nome));
#endif
  }

  // The directory of the running test program, where the build puts the library too.
  static std::string DiretorioDoPrograma() {
    char caminho[4096] = {0};
#if defined(_WIN32)
    GetModuleFileNameA(nullptr, caminho, sizeof caminho - 1);
    const char separador = '\\';
#else
    ssize_t n = readlink("/proc/self/exe", caminho, sizeof caminho - 1);
    if (n > 0) {
      caminho[n] = '\0';
    }
    const char separador = '/';
#endif
    std::string s = caminho;
    return s.substr(0, s.find_last_of(separador) + 1);
  }

  // SAT_E2E_BIBLIOTECA names the library by its full path, as a POS that ships it in a folder of
  // its own loads it; by default it is the one beside the test program.
  static std::string Caminho() {
    const char *escolhida = std::getenv("SAT_E2E_BIBLIOTECA");
    if (escolhida != nullptr && escolhida[0] != '\0') {
      return escolhida;
    }
#if defined(_WIN32)
    return DiretorioDoPrograma() + "sat.dll";
#else
    return DiretorioDoPrograma() + "libsat.so";
#endif
  }

private:
#if defined(_WIN32)
  HMODULE modulo_;
#else
  void *modulo_;
#endif
};

// Exports as the application sees them.
typedef int32_t(SAT_CALL *FnGeraNumeroSessao)(void);
typedef const char *(SAT_CALL *FnVersaoLib)(void);
typedef char *(SAT_CALL *FnCodigoErro)(char *);
typedef void(SAT_CALL *FnArquivoLog)(const char *);
typedef void(SAT_CALL *FnConfiguraTimeout)(int32_t);
