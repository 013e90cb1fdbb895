/* The COM structured-storage definitions the library uses. On Windows they
 * come from the system headers; elsewhere this header defines exactly the
 * subset the library needs, with the same slot order, widths and values:
 * for C++ as classes of pure virtual methods, for C (C89 on) as structs
 * whose first member points to the table of methods (lpVtbl), as Windows'
 * own headers do. Library code includes this header, never <windows.h> or
 * <objidl.h>. */
#ifndef QSSTORAGE_PLATFORM_COM_H_
#define QSSTORAGE_PLATFORM_COM_H_

#if defined(_WIN32)

#include <objbase.h>
#include <objidl.h>
#include <windows.h>

/* Wide string literal for element names: OLESTR("Root"). */
#ifndef OLESTR
#define OLESTR(s) L##s
#endif

#else /* !_WIN32 */

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stddef.h>
#include <stdint.h>
#endif

#define STDMETHODCALLTYPE
#define WINAPI
/* Natively the platform's part (what ole32 and kernel32 give on Windows)
 * lives in its own shared library, so hosts and the library share it. */
#define QSS_COM_API __attribute__((visibility("default")))

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
#ifdef __cplusplus
typedef char16_t OLECHAR;
#define OLESTR(s) u##s
#else
/* C11's char16_t, the type of its u"" literals. C89 and C99 have no 16-bit
 * literals: names there are arrays, {'d', 'o', 'c', 's', 0}. */
typedef uint_least16_t OLECHAR;
#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OLESTR(s) u##s
#endif
#endif
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR** SNB;

typedef union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
} LARGE_INTEGER;
typedef union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  uint64_t QuadPart;
} ULARGE_INTEGER;

typedef struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
#ifdef __cplusplus
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
#else
typedef const IID* REFIID;
typedef const CLSID* REFCLSID;
#endif

typedef struct STATSTG {
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
} STATSTG;

/* Macros, as on Windows, so that C and C++ read them alike. */
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define STG_E_INVALIDFUNCTION ((HRESULT)0x80030001)
#define STG_E_FILENOTFOUND ((HRESULT)0x80030002)
#define STG_E_ACCESSDENIED ((HRESULT)0x80030005)
#define STG_E_INSUFFICIENTMEMORY ((HRESULT)0x80030008)
#define STG_E_INVALIDPOINTER ((HRESULT)0x80030009)
#define STG_E_INVALIDPARAMETER ((HRESULT)0x80030057)
#define STG_E_FILEALREADYEXISTS ((HRESULT)0x80030050)
#define STG_E_MEDIUMFULL ((HRESULT)0x80030070)
#define STG_E_INVALIDNAME ((HRESULT)0x800300FC)
#define STG_E_INVALIDFLAG ((HRESULT)0x800300FF)
#define STG_E_REVERTED ((HRESULT)0x80030102)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

/* In C++ the flags are DWORDs, as the members they go into. */
#ifdef __cplusplus
#define QSS_COM_FLAGS enum : DWORD
#else
#define QSS_COM_FLAGS enum
#endif
QSS_COM_FLAGS {
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
  STGM_DELETEONRELEASE = 0x4000000
};
QSS_COM_FLAGS { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 };
QSS_COM_FLAGS { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 };
QSS_COM_FLAGS { STGMOVE_MOVE = 0, STGMOVE_COPY = 1, STGMOVE_SHALLOWCOPY = 2 };
QSS_COM_FLAGS { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };
#undef QSS_COM_FLAGS

#ifdef __cplusplus

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

#else /* C: each object starts with a pointer to its table of methods,
       * in the order of the C++ declarations, the object first. */

typedef struct IUnknown IUnknown;
typedef struct ISequentialStream ISequentialStream;
typedef struct IStream IStream;
typedef struct IEnumSTATSTG IEnumSTATSTG;
typedef struct IStorage IStorage;

#define QSS_COM_IUNKNOWN_METHODS(Type)                                   \
  HRESULT (*QueryInterface)(Type * This, REFIID riid, void** ppvObject); \
  ULONG (*AddRef)(Type * This);                                          \
  ULONG (*Release)(Type * This);
#define QSS_COM_ISEQUENTIALSTREAM_METHODS(Type)                           \
  QSS_COM_IUNKNOWN_METHODS(Type)                                          \
  HRESULT (*Read)(Type * This, void* pv, ULONG cb, ULONG* pcbRead);       \
  HRESULT (*Write)(Type * This, const void* pv, ULONG cb,                 \
                   ULONG* pcbWritten);

typedef struct IUnknownVtbl {
  QSS_COM_IUNKNOWN_METHODS(IUnknown)
} IUnknownVtbl;
struct IUnknown {
  const IUnknownVtbl* lpVtbl;
};

typedef struct ISequentialStreamVtbl {
  QSS_COM_ISEQUENTIALSTREAM_METHODS(ISequentialStream)
} ISequentialStreamVtbl;
struct ISequentialStream {
  const ISequentialStreamVtbl* lpVtbl;
};

typedef struct IStreamVtbl {
  QSS_COM_ISEQUENTIALSTREAM_METHODS(IStream)
  HRESULT (*Seek)(IStream* This, LARGE_INTEGER dlibMove, DWORD dwOrigin,
                  ULARGE_INTEGER* plibNewPosition);
  HRESULT (*SetSize)(IStream* This, ULARGE_INTEGER libNewSize);
  HRESULT (*CopyTo)(IStream* This, IStream* pstm, ULARGE_INTEGER cb,
                    ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten);
  HRESULT (*Commit)(IStream* This, DWORD grfCommitFlags);
  HRESULT (*Revert)(IStream* This);
  HRESULT (*LockRegion)(IStream* This, ULARGE_INTEGER libOffset,
                        ULARGE_INTEGER cb, DWORD dwLockType);
  HRESULT (*UnlockRegion)(IStream* This, ULARGE_INTEGER libOffset,
                          ULARGE_INTEGER cb, DWORD dwLockType);
  HRESULT (*Stat)(IStream* This, STATSTG* pstatstg, DWORD grfStatFlag);
  HRESULT (*Clone)(IStream* This, IStream** ppstm);
} IStreamVtbl;
struct IStream {
  const IStreamVtbl* lpVtbl;
};

typedef struct IEnumSTATSTGVtbl {
  QSS_COM_IUNKNOWN_METHODS(IEnumSTATSTG)
  HRESULT (*Next)(IEnumSTATSTG* This, ULONG celt, STATSTG* rgelt,
                  ULONG* pceltFetched);
  HRESULT (*Skip)(IEnumSTATSTG* This, ULONG celt);
  HRESULT (*Reset)(IEnumSTATSTG* This);
  HRESULT (*Clone)(IEnumSTATSTG* This, IEnumSTATSTG** ppenum);
} IEnumSTATSTGVtbl;
struct IEnumSTATSTG {
  const IEnumSTATSTGVtbl* lpVtbl;
};

typedef struct IStorageVtbl {
  QSS_COM_IUNKNOWN_METHODS(IStorage)
  HRESULT (*CreateStream)(IStorage* This, const OLECHAR* pwcsName,
                          DWORD grfMode, DWORD reserved1, DWORD reserved2,
                          IStream** ppstm);
  HRESULT (*OpenStream)(IStorage* This, const OLECHAR* pwcsName,
                        void* reserved1, DWORD grfMode, DWORD reserved2,
                        IStream** ppstm);
  HRESULT (*CreateStorage)(IStorage* This, const OLECHAR* pwcsName,
                           DWORD grfMode, DWORD reserved1, DWORD reserved2,
                           IStorage** ppstg);
  HRESULT (*OpenStorage)(IStorage* This, const OLECHAR* pwcsName,
                         IStorage* pstgPriority, DWORD grfMode,
                         SNB snbExclude, DWORD reserved, IStorage** ppstg);
  HRESULT (*CopyTo)(IStorage* This, DWORD ciidExclude,
                    const IID* rgiidExclude, SNB snbExclude,
                    IStorage* pstgDest);
  HRESULT (*MoveElementTo)(IStorage* This, const OLECHAR* pwcsName,
                           IStorage* pstgDest, const OLECHAR* pwcsNewName,
                           DWORD grfFlags);
  HRESULT (*Commit)(IStorage* This, DWORD grfCommitFlags);
  HRESULT (*Revert)(IStorage* This);
  HRESULT (*EnumElements)(IStorage* This, DWORD reserved1, void* reserved2,
                          DWORD reserved3, IEnumSTATSTG** ppenum);
  HRESULT (*DestroyElement)(IStorage* This, const OLECHAR* pwcsName);
  HRESULT (*RenameElement)(IStorage* This, const OLECHAR* pwcsOldName,
                           const OLECHAR* pwcsNewName);
  HRESULT (*SetElementTimes)(IStorage* This, const OLECHAR* pwcsName,
                             const FILETIME* pctime, const FILETIME* patime,
                             const FILETIME* pmtime);
  HRESULT (*SetClass)(IStorage* This, REFCLSID clsid);
  HRESULT (*SetStateBits)(IStorage* This, DWORD grfStateBits, DWORD grfMask);
  HRESULT (*Stat)(IStorage* This, STATSTG* pstatstg, DWORD grfStatFlag);
} IStorageVtbl;
struct IStorage {
  const IStorageVtbl* lpVtbl;
};

#undef QSS_COM_ISEQUENTIALSTREAM_METHODS
#undef QSS_COM_IUNKNOWN_METHODS

#endif /* __cplusplus */

#ifdef __cplusplus
extern "C" {
#endif

QSS_COM_API extern const IID IID_IUnknown;
QSS_COM_API extern const IID IID_ISequentialStream;
QSS_COM_API extern const IID IID_IStream;
QSS_COM_API extern const IID IID_IStorage;
QSS_COM_API extern const IID IID_IEnumSTATSTG;
QSS_COM_API extern const CLSID GUID_NULL;

QSS_COM_API void* CoTaskMemAlloc(size_t size);
QSS_COM_API void CoTaskMemFree(void* block);

#ifdef __cplusplus
}
#endif

#endif /* _WIN32 */

#if defined(_WIN32)
#define QSS_COM_API
#endif

#ifdef __cplusplus

namespace qss {

/* The process's ANSI code page (1252 here) and UTF-16, converted like
 * WideCharToMultiByte / MultiByteToWideChar with CP_ACP, flags 0 and a
 * zero-terminated source. Characters the code page lacks become '?'.
 * Both return the number of units written, terminator included, or 0 when
 * the result does not fit `capacity` (the output is then unspecified). */
QSS_COM_API int WideToAnsi(const OLECHAR* wide, char* out, int capacity);
QSS_COM_API int AnsiToWide(const char* ansi, OLECHAR* out, int capacity);

/* Whether the address of a reference parameter (REFCLSID, REFIID) is null,
 * as it is when a C caller passes a null pointer: IsNullAddress(&clsid).
 * The address goes through something the optimizer cannot see into, so it
 * cannot assume that a reference's address is never null: an empty asm
 * that may change the register, or for MSVC a volatile copy. */
inline bool IsNullAddress(const void* address) {
#if defined(_MSC_VER) && !defined(__clang__)
  const void* volatile opaque = address;
  return opaque == nullptr;
#else
  __asm__("" : "+r"(address));
  return address == nullptr;
#endif
}

/* Number of UTF-16 units before the terminator. */
QSS_COM_API size_t WideLength(const OLECHAR* wide);

} /* namespace qss */

#endif /* __cplusplus */

#endif /* QSSTORAGE_PLATFORM_COM_H_ */
