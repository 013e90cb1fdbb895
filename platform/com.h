// The COM structured-storage definitions the library uses. On Windows they
// come from the system headers; elsewhere this header defines exactly the
// subset the library needs, with the same slot order, widths and values.
// Library code includes this header, never <windows.h> or <objidl.h>.
#ifndef QSSTORAGE_PLATFORM_COM_H_
#define QSSTORAGE_PLATFORM_COM_H_

#if defined(_WIN32)

#include <objbase.h>
#include <objidl.h>
#include <windows.h>

// Wide string literal for element names: OLESTR("Root").
#ifndef OLESTR
#define OLESTR(s) L##s
#endif

#else  // !_WIN32

#include <cstddef>
#include <cstdint>

#define STDMETHODCALLTYPE
#define WINAPI
// Natively the platform's part (what ole32 and kernel32 give on Windows)
// lives in its own shared library, so hosts and the library share it.
#define QSS_COM_API __attribute__((visibility("default")))

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR** SNB;

#define OLESTR(s) u##s

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  uint64_t QuadPart;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         a.Data4[0] == b.Data4[0] && a.Data4[1] == b.Data4[1] &&
         a.Data4[2] == b.Data4[2] && a.Data4[3] == b.Data4[3] &&
         a.Data4[4] == b.Data4[4] && a.Data4[5] == b.Data4[5] &&
         a.Data4[6] == b.Data4[6] && a.Data4[7] == b.Data4[7];
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
inline bool IsEqualIID(const IID& a, const IID& b) { return a == b; }

extern QSS_COM_API const IID IID_IUnknown;
extern QSS_COM_API const IID IID_ISequentialStream;
extern QSS_COM_API const IID IID_IStream;
extern QSS_COM_API const IID IID_IStorage;
extern QSS_COM_API const IID IID_IEnumSTATSTG;
extern QSS_COM_API const CLSID GUID_NULL;

struct STATSTG {
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
};

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002);
constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005);
constexpr HRESULT STG_E_INSUFFICIENTMEMORY = static_cast<HRESULT>(0x80030008);
constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009);
constexpr HRESULT STG_E_INVALIDPARAMETER = static_cast<HRESULT>(0x80030057);
constexpr HRESULT STG_E_FILEALREADYEXISTS = static_cast<HRESULT>(0x80030050);
constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070);
constexpr HRESULT STG_E_INVALIDNAME = static_cast<HRESULT>(0x800300FC);
constexpr HRESULT STG_E_INVALIDFLAG = static_cast<HRESULT>(0x800300FF);
constexpr HRESULT STG_E_REVERTED = static_cast<HRESULT>(0x80030102);

inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline bool FAILED(HRESULT hr) { return hr < 0; }

enum : DWORD {
  STGM_READ = 0x0,
  STGM_WRITE = 0x1,
  STGM_READWRITE = 0x2,
  STGM_SHARE_DENY_NONE = 0x40,
  STGM_SHARE_DENY_READ = 0x30,
  STGM_SHARE_DENY_WRITE = 0x20,
  STGM_SHARE_EXCLUSIVE = 0x10,
  STGM_PRIORITY = 0x40000,
  STGM_CREATE = 0x1000,
  STGM_CONVERT = 0x20000,
  STGM_FAILIFTHERE = 0x0,
  STGM_DIRECT = 0x0,
  STGM_TRANSACTED = 0x10000,
  STGM_NOSCRATCH = 0x100000,
  STGM_NOSNAPSHOT = 0x200000,
  STGM_SIMPLE = 0x8000000,
  STGM_DIRECT_SWMR = 0x400000,
  STGM_DELETEONRELEASE = 0x4000000,
};
enum : DWORD { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 };
enum : DWORD { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 };
enum : DWORD { STGMOVE_MOVE = 0, STGMOVE_COPY = 1, STGMOVE_SHALLOWCOPY = 2 };
enum : DWORD { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

struct ISequentialStream : IUnknown {
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;
};

struct IStream : ISequentialStream {
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                       ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                         ULARGE_INTEGER* pcbRead,
                         ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                             DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                               DWORD dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT Clone(IStream** ppstm) = 0;
};

struct IEnumSTATSTG : IUnknown {
  virtual HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumSTATSTG** ppenum) = 0;
};

struct IStorage : IUnknown {
  virtual HRESULT CreateStream(const OLECHAR* pwcsName, DWORD grfMode,
                               DWORD reserved1, DWORD reserved2,
                               IStream** ppstm) = 0;
  virtual HRESULT OpenStream(const OLECHAR* pwcsName, void* reserved1,
                             DWORD grfMode, DWORD reserved2,
                             IStream** ppstm) = 0;
  virtual HRESULT CreateStorage(const OLECHAR* pwcsName, DWORD grfMode,
                                DWORD reserved1, DWORD reserved2,
                                IStorage** ppstg) = 0;
  virtual HRESULT OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority,
                              DWORD grfMode, SNB snbExclude, DWORD reserved,
                              IStorage** ppstg) = 0;
  virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude,
                         SNB snbExclude, IStorage* pstgDest) = 0;
  virtual HRESULT MoveElementTo(const OLECHAR* pwcsName, IStorage* pstgDest,
                                const OLECHAR* pwcsNewName,
                                DWORD grfFlags) = 0;
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT EnumElements(DWORD reserved1, void* reserved2,
                               DWORD reserved3, IEnumSTATSTG** ppenum) = 0;
  virtual HRESULT DestroyElement(const OLECHAR* pwcsName) = 0;
  virtual HRESULT RenameElement(const OLECHAR* pwcsOldName,
                                const OLECHAR* pwcsNewName) = 0;
  virtual HRESULT SetElementTimes(const OLECHAR* pwcsName,
                                  const FILETIME* pctime,
                                  const FILETIME* patime,
                                  const FILETIME* pmtime) = 0;
  virtual HRESULT SetClass(REFCLSID clsid) = 0;
  virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
};

QSS_COM_API void* CoTaskMemAlloc(size_t size);
QSS_COM_API void CoTaskMemFree(void* block);

#endif  // _WIN32

#if defined(_WIN32)
#define QSS_COM_API
#endif

namespace qss {

// The process's ANSI code page (1252 here) and UTF-16, converted like
// WideCharToMultiByte / MultiByteToWideChar with CP_ACP, flags 0 and a
// zero-terminated source. Characters the code page lacks become '?'.
// Both return the number of units written, terminator included, or 0 when
// the result does not fit `capacity` (the output is then unspecified).
QSS_COM_API int WideToAnsi(const OLECHAR* wide, char* out, int capacity);
QSS_COM_API int AnsiToWide(const char* ansi, OLECHAR* out, int capacity);

// Whether the address of a reference parameter (REFCLSID, REFIID) is null,
// as it is when a C caller passes a null pointer: IsNullAddress(&clsid).
// The address goes through something the optimizer cannot see into, so it
// cannot assume that a reference's address is never null: an empty asm
// that may change the register, or for MSVC a volatile copy.
inline bool IsNullAddress(const void* address) {
#if defined(_MSC_VER) && !defined(__clang__)
  const void* volatile opaque = address;
  return opaque == nullptr;
#else
  __asm__("" : "+r"(address));
  return address == nullptr;
#endif
}

// Number of UTF-16 units before the terminator.
QSS_COM_API size_t WideLength(const OLECHAR* wide);

}  // namespace qss

#endif  // QSSTORAGE_PLATFORM_COM_H_
