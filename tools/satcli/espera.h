// While a command waits for the device, the elapsed time on the terminal's status line.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

class LinhaDeEspera {
public:
  // Nothing is shown when `mostra` is false (standard error is not a terminal) or when the
  // command is over within a second.
  LinhaDeEspera(bool mostra, const char *comando, long limiteMs);
  ~LinhaDeEspera();
  LinhaDeEspera(const LinhaDeEspera &) = delete;
  LinhaDeEspera &operator=(const LinhaDeEspera &) = delete;

private:
  void Mostra();

  std::string comando_;
  long limiteMs_;
  std::mutex trava_;
  std::condition_variable acabou_;
  bool fim_ = false;
  size_t escritos_ = 0;
  std::thread linha_;
};
