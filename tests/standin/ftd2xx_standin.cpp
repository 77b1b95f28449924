// A stand-in for the vendor's D2XX driver library ftd2xx.dll, for tests
// under wine: the same exported functions with the driver's calling
// convention, and behind them the simulated bus with its HandControllers and
// Cameras instead of USB. WinD2xx loads it exactly as it loads the real
// driver, so the programs run their whole path through the DLL boundary.
// Test-only: never installed, never packaged.
//
// The far end is chosen by the environment (the DLL has no other input):
//   VEXO3_STANDIN_PROFILE  a simulator profile file; unset = the default
//                          scenario. A state_file in it keeps the units'
//                          firmware from one process to the next.
// The simulated line runs on the real clock, as a real chip does.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "link/d2xx.h"
#include "platform/console.h"
#include "run/device_source.h"
#include "sim/scenario/simulated_setup.h"

namespace {

using vexo3::FT_STATUS;

struct Driver {
  std::mutex mutex;
  std::unique_ptr<vexo3::DeviceSource> source;
  bool broken = false;  // the profile or state couldn't be loaded
};

Driver& TheDriver() {
  static Driver driver;
  return driver;
}

// VEXO3_STANDIN_PROFILE as UTF-8; "" when unset.
std::string ProfilePath() {
  wchar_t buffer[4096];
  const DWORD n = GetEnvironmentVariableW(L"VEXO3_STANDIN_PROFILE", buffer, 4096);
  if (n == 0 || n >= 4096)
    return "";
  return vexo3::Utf8FromWide(std::wstring(buffer, n));
}

// The simulated devices, made on first use; null when their profile is bad
// (said once on stderr, and every call then fails as a driver would).
vexo3::D2xxApi* Bus(Driver& d) {
  if (d.source)
    return &d.source->d2xx();
  if (d.broken)
    return nullptr;
  vexo3::DeviceSourceOptions options;
  options.kind = vexo3::DeviceSourceOptions::Kind::Simulator;
  options.profile = ProfilePath();
  vexo3::SourceError error;
  d.source = vexo3::DeviceSource::Open(options, &error);
  if (!d.source) {
    std::fputs(vexo3::SourceErrorMessage("ftd2xx stand-in", error).c_str(), stderr);
    d.broken = true;
    return nullptr;
  }
  return &d.source->d2xx();
}

// Runs one driver call on the bus under the driver's lock.
template <typename Call>
FT_STATUS WithBus(Call call) {
  Driver& d = TheDriver();
  std::lock_guard<std::mutex> lock(d.mutex);
  vexo3::D2xxApi* bus = Bus(d);
  if (bus == nullptr)
    return vexo3::FT_OTHER_ERROR;
  return call(*bus);
}

}  // namespace

// The driver's exports. WINAPI is the driver's convention (stdcall on 32-bit
// Windows, the same as the C convention on x64); the link step keeps the
// exported names plain, as the driver's are.
#define STANDIN_EXPORT extern "C" __declspec(dllexport) FT_STATUS WINAPI

STANDIN_EXPORT FT_CreateDeviceInfoList(vexo3::DWORD* numDevs) {
  return WithBus([&](auto& bus) { return bus.FT_CreateDeviceInfoList(numDevs); });
}

STANDIN_EXPORT FT_GetDeviceInfoList(vexo3::FT_DEVICE_LIST_INFO_NODE* dest, vexo3::DWORD* numDevs) {
  return WithBus([&](auto& bus) { return bus.FT_GetDeviceInfoList(dest, numDevs); });
}

STANDIN_EXPORT FT_Open(int deviceNumber, vexo3::FT_HANDLE* handle) {
  return WithBus([&](auto& bus) { return bus.FT_Open(deviceNumber, handle); });
}

STANDIN_EXPORT FT_Close(vexo3::FT_HANDLE handle) {
  return WithBus([&](auto& bus) {
    const FT_STATUS s = bus.FT_Close(handle);
    // The units have seen the link close: keep their firmware for the next
    // process, as the device itself would.
    std::string error;
    if (s == vexo3::FT_OK && !TheDriver().source->simulation()->SaveState(&error))
      std::fprintf(stderr, "ftd2xx stand-in: %s\n", error.c_str());
    return s;
  });
}

STANDIN_EXPORT FT_GetBitMode(vexo3::FT_HANDLE handle, vexo3::UCHAR* mode) {
  return WithBus([&](auto& bus) { return bus.FT_GetBitMode(handle, mode); });
}

STANDIN_EXPORT FT_SetBitMode(vexo3::FT_HANDLE handle, vexo3::UCHAR mask, vexo3::UCHAR mode) {
  return WithBus([&](auto& bus) { return bus.FT_SetBitMode(handle, mask, mode); });
}

STANDIN_EXPORT FT_Purge(vexo3::FT_HANDLE handle, vexo3::ULONG mask) {
  return WithBus([&](auto& bus) { return bus.FT_Purge(handle, mask); });
}

STANDIN_EXPORT FT_SetDataCharacteristics(vexo3::FT_HANDLE handle, vexo3::UCHAR wordLength,
                                         vexo3::UCHAR stopBits, vexo3::UCHAR parity) {
  return WithBus([&](auto& bus) {
    return bus.FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
  });
}

STANDIN_EXPORT FT_SetBaudRate(vexo3::FT_HANDLE handle, vexo3::ULONG baudRate) {
  return WithBus([&](auto& bus) { return bus.FT_SetBaudRate(handle, baudRate); });
}

STANDIN_EXPORT FT_SetFlowControl(vexo3::FT_HANDLE handle, vexo3::USHORT flowControl,
                                 vexo3::UCHAR xon, vexo3::UCHAR xoff) {
  return WithBus([&](auto& bus) { return bus.FT_SetFlowControl(handle, flowControl, xon, xoff); });
}

STANDIN_EXPORT FT_SetTimeouts(vexo3::FT_HANDLE handle, vexo3::ULONG readTimeout,
                              vexo3::ULONG writeTimeout) {
  return WithBus([&](auto& bus) { return bus.FT_SetTimeouts(handle, readTimeout, writeTimeout); });
}

STANDIN_EXPORT FT_SetLatencyTimer(vexo3::FT_HANDLE handle, vexo3::UCHAR timer) {
  return WithBus([&](auto& bus) { return bus.FT_SetLatencyTimer(handle, timer); });
}

STANDIN_EXPORT FT_GetDeviceInfo(vexo3::FT_HANDLE handle, vexo3::FT_DEVICE* type, vexo3::DWORD* id,
                                char* serialNumber, char* description, void* dummy) {
  return WithBus([&](auto& bus) {
    return bus.FT_GetDeviceInfo(handle, type, id, serialNumber, description, dummy);
  });
}

STANDIN_EXPORT FT_Write(vexo3::FT_HANDLE handle, void* buffer, vexo3::DWORD n,
                        vexo3::DWORD* written) {
  return WithBus([&](auto& bus) { return bus.FT_Write(handle, buffer, n, written); });
}

STANDIN_EXPORT FT_Read(vexo3::FT_HANDLE handle, void* buffer, vexo3::DWORD n, vexo3::DWORD* got) {
  return WithBus([&](auto& bus) { return bus.FT_Read(handle, buffer, n, got); });
}

STANDIN_EXPORT FT_GetQueueStatus(vexo3::FT_HANDLE handle, vexo3::DWORD* rxBytes) {
  return WithBus([&](auto& bus) { return bus.FT_GetQueueStatus(handle, rxBytes); });
}

STANDIN_EXPORT FT_GetStatus(vexo3::FT_HANDLE handle, vexo3::DWORD* rxBytes, vexo3::DWORD* txBytes,
                            vexo3::DWORD* eventStatus) {
  return WithBus(
      [&](auto& bus) { return bus.FT_GetStatus(handle, rxBytes, txBytes, eventStatus); });
}
