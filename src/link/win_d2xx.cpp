#include "link/win_d2xx.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/console.h"

namespace vexo3 {

// The driver's record layout, which FT_GetDeviceInfoList writes into our
// array: 4 + 4 + 4 + 4 + 16 + 64 bytes, then the handle (8 bytes on 64-bit
// Windows, 4 on 32-bit, aligned either way).
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, SerialNumber) == 16);
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32);
static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, ftHandle) == 96);
#ifdef _WIN64
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 104);
#else
static_assert(sizeof(FT_DEVICE_LIST_INFO_NODE) == 100);
#endif
// The driver's ULONG and DWORD are 32 bits on Windows, as ours are.
static_assert(sizeof(::ULONG) == sizeof(vexo3::ULONG) && sizeof(::DWORD) == sizeof(vexo3::DWORD));

struct WinD2xx::Functions {
  HMODULE module = nullptr;
  std::vector<FT_HANDLE> open;  // closed by the destructor if still open

  FT_STATUS(WINAPI* createDeviceInfoList)(DWORD*) = nullptr;
  FT_STATUS(WINAPI* getDeviceInfoList)(FT_DEVICE_LIST_INFO_NODE*, DWORD*) = nullptr;
  FT_STATUS(WINAPI* open_)(int, FT_HANDLE*) = nullptr;
  FT_STATUS(WINAPI* close)(FT_HANDLE) = nullptr;
  FT_STATUS(WINAPI* getBitMode)(FT_HANDLE, UCHAR*) = nullptr;
  FT_STATUS(WINAPI* setBitMode)(FT_HANDLE, UCHAR, UCHAR) = nullptr;
  FT_STATUS(WINAPI* purge)(FT_HANDLE, ULONG) = nullptr;
  FT_STATUS(WINAPI* setDataCharacteristics)(FT_HANDLE, UCHAR, UCHAR, UCHAR) = nullptr;
  FT_STATUS(WINAPI* setBaudRate)(FT_HANDLE, ULONG) = nullptr;
  FT_STATUS(WINAPI* setFlowControl)(FT_HANDLE, USHORT, UCHAR, UCHAR) = nullptr;
  FT_STATUS(WINAPI* setTimeouts)(FT_HANDLE, ULONG, ULONG) = nullptr;
  FT_STATUS(WINAPI* setLatencyTimer)(FT_HANDLE, UCHAR) = nullptr;
  FT_STATUS(WINAPI* getDeviceInfo)(FT_HANDLE, FT_DEVICE*, DWORD*, char*, char*, void*) = nullptr;
  // The driver's buffer parameter is not const; it only reads from it.
  FT_STATUS(WINAPI* write)(FT_HANDLE, void*, DWORD, DWORD*) = nullptr;
  FT_STATUS(WINAPI* read)(FT_HANDLE, void*, DWORD, DWORD*) = nullptr;
  FT_STATUS(WINAPI* getQueueStatus)(FT_HANDLE, DWORD*) = nullptr;
  FT_STATUS(WINAPI* getStatus)(FT_HANDLE, DWORD*, DWORD*, DWORD*) = nullptr;
};

namespace {

constexpr const char* kNotInstalled =
    "The FTDI D2XX driver is not installed (ftd2xx.dll is not in the Windows system folder). "
    "Windows installs it by itself when the HandController is plugged in and Windows Update "
    "is allowed to; otherwise install the D2XX driver from FTDI's web site";

// Looks up one entry point; false (with *missing = its name) when absent.
template <typename F>
bool Resolve(HMODULE module, const char* name, F* fn, std::string* missing) {
  FARPROC p = GetProcAddress(module, name);
  if (p == nullptr) {
    *missing = name;
    return false;
  }
  // GetProcAddress hands out every entry point as FARPROC; the real type is
  // the driver's documented prototype.
  *fn = reinterpret_cast<F>(reinterpret_cast<void*>(p));
  return true;
}

bool ResolveAll(WinD2xx::Functions& f, std::string* missing) {
  const HMODULE m = f.module;
  return Resolve(m, "FT_CreateDeviceInfoList", &f.createDeviceInfoList, missing) &&
         Resolve(m, "FT_GetDeviceInfoList", &f.getDeviceInfoList, missing) &&
         Resolve(m, "FT_Open", &f.open_, missing) && Resolve(m, "FT_Close", &f.close, missing) &&
         Resolve(m, "FT_GetBitMode", &f.getBitMode, missing) &&
         Resolve(m, "FT_SetBitMode", &f.setBitMode, missing) &&
         Resolve(m, "FT_Purge", &f.purge, missing) &&
         Resolve(m, "FT_SetDataCharacteristics", &f.setDataCharacteristics, missing) &&
         Resolve(m, "FT_SetBaudRate", &f.setBaudRate, missing) &&
         Resolve(m, "FT_SetFlowControl", &f.setFlowControl, missing) &&
         Resolve(m, "FT_SetTimeouts", &f.setTimeouts, missing) &&
         Resolve(m, "FT_SetLatencyTimer", &f.setLatencyTimer, missing) &&
         Resolve(m, "FT_GetDeviceInfo", &f.getDeviceInfo, missing) &&
         Resolve(m, "FT_Write", &f.write, missing) && Resolve(m, "FT_Read", &f.read, missing) &&
         Resolve(m, "FT_GetQueueStatus", &f.getQueueStatus, missing) &&
         Resolve(m, "FT_GetStatus", &f.getStatus, missing);
}

}  // namespace

WinD2xx::WinD2xx() : fn_(std::make_unique<Functions>()) {}

std::unique_ptr<WinD2xx> WinD2xx::Adopt(void* module, std::string* missing) {
  std::unique_ptr<WinD2xx> d2xx(new WinD2xx());
  d2xx->fn_->module =
      static_cast<HMODULE>(module);  // freed by the destructor, also on failure here
  if (!ResolveAll(*d2xx->fn_, missing))
    return nullptr;
  return d2xx;
}

std::unique_ptr<WinD2xx> WinD2xx::LoadSystemDriver(std::string* error) {
  // Only the system folder: neither the program's folder nor the current
  // one nor PATH is searched.
  const HMODULE module = LoadLibraryExW(L"ftd2xx.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    if (error != nullptr)
      *error = std::string(kNotInstalled) + ".";
    return nullptr;
  }
  std::string missing;
  auto d2xx = Adopt(module, &missing);
  if (!d2xx && error != nullptr)
    *error = "The FTDI D2XX driver in the Windows system folder (ftd2xx.dll) has no " + missing +
             ": install a current D2XX driver from FTDI's web site.";
  return d2xx;
}

std::unique_ptr<WinD2xx> WinD2xx::LoadDriverAt(const std::string& path, std::string* error) {
  const std::wstring wide = WideFromUtf8(path);
  const HMODULE module =
      wide.empty() ? nullptr : LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    if (error != nullptr)
      *error = "The D2XX driver library \"" + path + "\" can't be loaded.";
    return nullptr;
  }
  std::string missing;
  auto d2xx = Adopt(module, &missing);
  if (!d2xx && error != nullptr)
    *error = "The D2XX driver library \"" + path + "\" has no " + missing + ".";
  return d2xx;
}

WinD2xx::~WinD2xx() {
  if (fn_->module == nullptr)
    return;
  if (fn_->close != nullptr) {
    for (FT_HANDLE h : fn_->open)
      fn_->close(h);
  }
  FreeLibrary(fn_->module);
}

FT_STATUS WinD2xx::FT_CreateDeviceInfoList(DWORD* numDevs) {
  return fn_->createDeviceInfoList(numDevs);
}

FT_STATUS WinD2xx::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
  return fn_->getDeviceInfoList(dest, numDevs);
}

FT_STATUS WinD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
  const FT_STATUS s = fn_->open_(deviceNumber, handle);
  if (s == FT_OK && handle != nullptr && *handle != nullptr)
    fn_->open.push_back(*handle);
  return s;
}

FT_STATUS WinD2xx::FT_Close(FT_HANDLE handle) {
  const FT_STATUS s = fn_->close(handle);
  if (s == FT_OK)
    std::erase(fn_->open, handle);
  return s;
}

FT_STATUS WinD2xx::FT_GetBitMode(FT_HANDLE handle, UCHAR* mode) {
  return fn_->getBitMode(handle, mode);
}

FT_STATUS WinD2xx::FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
  return fn_->setBitMode(handle, mask, mode);
}

FT_STATUS WinD2xx::FT_Purge(FT_HANDLE handle, ULONG mask) {
  return fn_->purge(handle, mask);
}

FT_STATUS WinD2xx::FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits,
                                             UCHAR parity) {
  return fn_->setDataCharacteristics(handle, wordLength, stopBits, parity);
}

FT_STATUS WinD2xx::FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
  return fn_->setBaudRate(handle, baudRate);
}

FT_STATUS WinD2xx::FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
  return fn_->setFlowControl(handle, flowControl, xon, xoff);
}

FT_STATUS WinD2xx::FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
  return fn_->setTimeouts(handle, readTimeout, writeTimeout);
}

FT_STATUS WinD2xx::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
  return fn_->setLatencyTimer(handle, timer);
}

FT_STATUS WinD2xx::FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE* type, DWORD* id,
                                    char* serialNumber, char* description, void* dummy) {
  return fn_->getDeviceInfo(handle, type, id, serialNumber, description, dummy);
}

FT_STATUS WinD2xx::FT_Write(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
  return fn_->write(handle, const_cast<void*>(buffer), n, written);
}

FT_STATUS WinD2xx::FT_Read(FT_HANDLE handle, void* buffer, DWORD n, DWORD* got) {
  return fn_->read(handle, buffer, n, got);
}

FT_STATUS WinD2xx::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
  return fn_->getQueueStatus(handle, rxBytes);
}

FT_STATUS WinD2xx::FT_GetStatus(FT_HANDLE handle, DWORD* rxBytes, DWORD* txBytes,
                                DWORD* eventStatus) {
  return fn_->getStatus(handle, rxBytes, txBytes, eventStatus);
}

}  // namespace vexo3
