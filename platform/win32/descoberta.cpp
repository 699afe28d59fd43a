// Discovery over the Setup API: the present devices of the class "PORTS", each with its
// instance identifier, its "PortName" and its first hardware identifier.
#include <windows.h>

#include <setupapi.h>

#include <cstdlib>
#include <cstring>

#include "platform/win32/interno.h"

namespace {

constexpr DWORD TAMANHO_IDS_HARDWARE = 4096;

// The instance identifier, size first; an empty text when the device has gone meanwhile.
char *LeIdInstancia(HDEVINFO lista, SP_DEVINFO_DATA *dispositivo) {
  DWORD tamanho = 0;
  SetupDiGetDeviceInstanceIdA(lista, dispositivo, nullptr, 0, &tamanho);
  char *texto = static_cast<char *>(std::calloc(tamanho + 1, 1));
  if (texto != nullptr && tamanho > 0) {
    SetupDiGetDeviceInstanceIdA(lista, dispositivo, texto, tamanho, nullptr);
  }
  return texto;
}

// The "PortName" value, size first; an empty text when there is none.
char *LeNomePorta(HKEY chave) {
  DWORD tamanho = 0;
  RegQueryValueExA(chave, "PortName", nullptr, nullptr, nullptr, &tamanho);
  char *texto = static_cast<char *>(std::calloc(tamanho + 1, 1));
  if (texto != nullptr && tamanho > 0) {
    RegQueryValueExA(chave, "PortName", nullptr, nullptr, reinterpret_cast<BYTE *>(texto),
                     &tamanho);
  }
  return texto;
}

// Describes one device to the step; answers what the step answered.
int EntregaDispositivo(HDEVINFO lista, SP_DEVINFO_DATA *d, PassoDispositivo passo, void *contexto) {
  char *idInstancia = LeIdInstancia(lista, d);
  char *nomePorta = nullptr;
  int chaveAberta = 0;
  HKEY chave = SetupDiOpenDevRegKey(lista, d, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (chave != INVALID_HANDLE_VALUE) {
    chaveAberta = 1;
    nomePorta = LeNomePorta(chave);
    RegCloseKey(chave);
  }
  // One byte more than the property can fill, so that its first identifier always ends.
  static char idsHardware[TAMANHO_IDS_HARDWARE + 1];
  std::memset(idsHardware, 0, sizeof idsHardware);
  DWORD tipo = REG_NONE;
  const int idsLidos = SetupDiGetDeviceRegistryPropertyA(lista, d, SPDRP_HARDWAREID, &tipo,
                                                         reinterpret_cast<BYTE *>(idsHardware),
                                                         TAMANHO_IDS_HARDWARE, nullptr)
                           ? 1
                           : 0;
  int resposta = 1;
  if (idInstancia != nullptr) {
    const DispositivoPorta dispositivo{
        idInstancia, chaveAberta, nomePorta != nullptr ? nomePorta : "",
        idsLidos,    idsHardware, static_cast<uint32_t>(tipo)};
    resposta = passo(&dispositivo, contexto);
  }
  std::free(nomePorta);
  std::free(idInstancia);
  return resposta;
}

} // namespace

int Win32VerificaUSB() {
  HDEVINFO lista = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (lista == INVALID_HANDLE_VALUE) {
    Win32Falha("SetupDiGetClassDevsA(USB)");
    return 0;
  }
  SetupDiDestroyDeviceInfoList(lista);
  return 1;
}

int Win32ListaPortas(PassoDispositivo passo, void *contexto) {
  GUID classe;
  DWORD necessarios = 0;
  if (!SetupDiClassGuidsFromNameA("PORTS", &classe, 1, &necessarios) || necessarios == 0) {
    Win32Falha("SetupDiClassGuidsFromNameA");
    return -1;
  }
  HDEVINFO lista = SetupDiGetClassDevsA(&classe, nullptr, nullptr, DIGCF_PRESENT);
  if (lista == INVALID_HANDLE_VALUE) {
    Win32Falha("SetupDiGetClassDevsA(PORTS)");
    return -1;
  }
  SP_DEVINFO_DATA dispositivo;
  ZeroMemory(&dispositivo, sizeof dispositivo);
  dispositivo.cbSize = sizeof dispositivo;
  for (DWORD indice = 0; SetupDiEnumDeviceInfo(lista, indice, &dispositivo); indice++) {
    if (EntregaDispositivo(lista, &dispositivo, passo, contexto) == 0) {
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(lista);
  return 0;
}
