// A small filter class with the members TKsFilterList needs of one: built
// from a device path with an out status, a friendly name, Instantiate
// (opens the path as the library's filters do) and EnumeratePins, reference
// counted. It counts the live instances so tests see when the list lets one go.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>

namespace enumtest {

class TestFilter {
 public:
  static inline int liveCount = 0;
  static inline HRESULT pinResult = S_OK;
  static inline int pinEnumerations = 0;

  TestFilter(LPCSTR path, HRESULT *status) : m_path(path != nullptr ? path : "") {
    ++liveCount;
    *status = path != nullptr ? S_OK : E_INVALIDARG;
  }
  virtual ~TestFilter() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    --liveCount;
  }

  LONG AddRef() { return ++m_references; }
  LONG Release() {
    LONG left = --m_references;
    if (left == 0) delete this;
    return left;
  }

  void SetFriendlyName(LPCSTR name) { m_friendlyName = name; }
  virtual HRESULT Instantiate() {
    m_handle = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    return m_handle != INVALID_HANDLE_VALUE ? S_OK : static_cast<HRESULT>(0x80070000 | GetLastError());
  }
  virtual HRESULT EnumeratePins() {
    ++pinEnumerations;
    return pinResult;
  }

  const std::string &Path() const { return m_path; }
  const std::string &FriendlyName() const { return m_friendlyName; }
  HANDLE Handle() const { return m_handle; }
  LONG References() const { return m_references; }

 private:
  std::string m_path;
  std::string m_friendlyName;
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  LONG m_references = 1;
};

}  // namespace enumtest
