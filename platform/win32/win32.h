// The Win32 user-mode interface as the plug-in sees it: types, the window manager with
// dialogs and the controls the panels use, timers, hot keys, the registry under
// HKEY_CLASSES_ROOT, modules, the process heap and a few helpers. Declared from the
// platform's public documentation; only what the system calls is here.
//
// Type model LLP64 as in the kernel layer: LONG/ULONG/DWORD are 32-bit, WCHAR is UTF-16.
// Everything runs on one user-interface thread; SendMessage dispatches at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/ntdef.h"

// ---- Types ------------------------------------------------------------------------------
typedef uint32_t DWORD, *PDWORD, *LPDWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef unsigned int UINT;
typedef int INT;
typedef int32_t HRESULT;
typedef uint64_t WPARAM;
typedef int64_t LPARAM;
typedef int64_t LRESULT;
typedef int64_t INT_PTR;
typedef uint64_t UINT_PTR;
typedef uint64_t DWORD_PTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD LCID;
typedef LONG LSTATUS;

struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;

#define CALLBACK
#define WINAPI
#define APIENTRY

// GUID, REFGUID and IsEqualGUID come with the base types.
typedef GUID IID, CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

typedef struct tagRECT {
  LONG left, top, right, bottom;
} RECT, *LPRECT;
typedef const RECT* LPCRECT;
typedef struct tagPOINT {
  LONG x, y;
} POINT, *LPPOINT;
typedef struct tagSIZE {
  LONG cx, cy;
} SIZE;
typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *LPMSG;

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) \
  ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

// ---- Results ------------------------------------------------------------------------------
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_HANDLE ((HRESULT)0x80070006L)
inline HRESULT HRESULT_FROM_WIN32(DWORD e) { return e == 0 ? S_OK : (HRESULT)((e & 0x0000FFFF) | 0x80070000u); }

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NOT_FOUND 1168L
#define ERROR_SET_NOT_FOUND 1170L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_HOTKEY_ALREADY_REGISTERED 1409L
#define ERROR_HOTKEY_NOT_REGISTERED 1419L

DWORD GetLastError();
void SetLastError(DWORD error);

// ---- Modules ------------------------------------------------------------------------------
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define MAX_PATH 260
typedef INT_PTR (*FARPROC)();
// Loads a shared library once (a second load counts up), calling its DllMain with
// DLL_PROCESS_ATTACH after loading; FreeLibrary calls it with DLL_PROCESS_DETACH before
// the last unload.
HMODULE LoadLibraryA(LPCSTR path);
BOOL FreeLibrary(HMODULE module);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
// Copies the module's path; a path that does not fit is cut to size - 1 characters,
// the result is size and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

// ---- Heap ------------------------------------------------------------------------------------
#define HEAP_ZERO_MEMORY 0x00000008
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// ---- Slim reader/writer lock -------------------------------------------------------------
typedef struct _RTL_SRWLOCK {
  PVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT \
  { nullptr }
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);

// ---- Miscellany --------------------------------------------------------------------------
void OutputDebugStringA(LPCSTR text);
BOOL Beep(DWORD frequency, DWORD duration);

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;
static_assert(sizeof(OSVERSIONINFOA) == 148);
#define VER_PLATFORM_WIN32_NT 2
BOOL GetVersionExA(LPOSVERSIONINFOA info);

#define STIF_DEFAULT 0x00000000L
#define STIF_SUPPORT_HEX 0x00000001L
BOOL StrToIntExA(LPCSTR text, DWORD flags, int* result);

// Formats into a buffer of `count` characters; output that does not fit is cut (with
// its terminator) and the result is STRSAFE_E_INSUFFICIENT_BUFFER.
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
HRESULT StringCchPrintfA(LPSTR buffer, size_t count, LPCSTR format, ...) __attribute__((format(printf, 3, 4)));

// ---- Registry (HKEY_CLASSES_ROOT) -----------------------------------------------------------
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#ifndef REG_SZ
#define REG_NONE 0
#define REG_SZ 1
#define REG_DWORD 4
#endif
typedef ULONG REGSAM;
#ifndef KEY_READ
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#endif
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM desired,
                        void* security, PHKEY result, LPDWORD disposition);
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD size);
LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey);
LSTATUS RegCloseKey(HKEY key);

// ---- Windows ------------------------------------------------------------------------------
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SETFOCUS 0x0007
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_HSCROLL 0x0114
#define WM_VSCROLL 0x0115
#define WM_HOTKEY 0x0312
#define WM_USER 0x0400

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_BORDER 0x00800000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_HSCROLL 0x00100000L
#define WS_VSCROLL 0x00200000L
#define DS_CONTROL 0x0400L
#define DS_SETFONT 0x40L

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define GWLP_USERDATA (-21)
#define DWLP_MSGRESULT 0
#define DWLP_USER 16

// Window classes by name, as in a dialog template.
#define WC_BUTTONA "Button"
#define WC_STATICA "Static"
#define WC_EDITA "Edit"
#define WC_COMBOBOXA "ComboBox"
#define TRACKBAR_CLASSA "msctls_trackbar32"

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, UINT_PTR id, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
HWND GetParent(HWND hwnd);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int command);
BOOL IsWindowVisible(HWND hwnd);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
BOOL GetWindowRect(HWND hwnd, LPRECT rect);
BOOL ScreenToClient(HWND hwnd, LPPOINT point);
BOOL ClientToScreen(HWND hwnd, LPPOINT point);
BOOL MapDialogRect(HWND dialog, LPRECT rect);
HWND SetFocus(HWND hwnd);
HWND GetFocus();
BOOL SetWindowTextA(HWND hwnd, LPCSTR text);
int GetWindowTextA(HWND hwnd, LPSTR buffer, int size);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size);
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL UpdateWindow(HWND hwnd);

// Dialogs from the module's resources (the template named by MAKEINTRESOURCEA(id)).
HWND CreateDialogParamA(HINSTANCE instance, LPCSTR templateName, HWND parent, DLGPROC proc, LPARAM param);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
BOOL CheckRadioButton(HWND dialog, int first, int last, int check);
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int size);
BOOL InitCommonControls();

// Buttons.
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_RADIOBUTTON 0x00000004L
#define BS_GROUPBOX 0x00000007L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_TYPEMASK 0x0000000FL
#define BS_PUSHLIKE 0x00001000L
#define BS_FLAT 0x00008000L
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BN_CLICKED 0

// Statics.
#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L

// Edits.
#define ES_LEFT 0x0000L
#define ES_CENTER 0x0001L
#define ES_UPPERCASE 0x0008L
#define ES_AUTOHSCROLL 0x0080L
#define ES_NUMBER 0x2000L
#define EM_SETLIMITTEXT 0x00C5
#define EM_LIMITTEXT EM_SETLIMITTEXT
#define EM_GETLIMITTEXT 0x00D5
#define EN_CHANGE 0x0300

// Trackbars.
#define TBS_HORZ 0x0000
#define TBS_BOTH 0x0008
#define TBS_NOTICKS 0x0010
#define TBM_GETPOS (WM_USER)
#define TBM_SETPOS (WM_USER + 5)
#define TBM_SETRANGE (WM_USER + 6)
#define TBM_GETRANGEMIN (WM_USER + 1)
#define TBM_GETRANGEMAX (WM_USER + 2)
#define TBM_SETPAGESIZE (WM_USER + 21)
#define TBM_GETPAGESIZE (WM_USER + 22)
#define TBM_SETLINESIZE (WM_USER + 23)
#define TBM_GETLINESIZE (WM_USER + 24)
#define TB_LINEUP 0
#define TB_LINEDOWN 1
#define TB_PAGEUP 2
#define TB_PAGEDOWN 3
#define TB_THUMBPOSITION 4
#define TB_THUMBTRACK 5
#define TB_TOP 6
#define TB_BOTTOM 7
#define TB_ENDTRACK 8

// Combo boxes.
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_ADDSTRING 0x0143
#define CB_SETCURSEL 0x014E
#define CB_ERR (-1)
#define CBN_SELCHANGE 1

// ---- Timers and hot keys ------------------------------------------------------------------
typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
// Window timers run on the machine's clock; WM_TIMER reaches the window's procedure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

#define MOD_ALT 0x0001
#define MOD_CONTROL 0x0002
#define MOD_SHIFT 0x0004
#define MOD_WIN 0x0008
#define MOD_NOREPEAT 0x4000
// System-wide: one (modifiers, key) pair belongs to one window at a time.
BOOL RegisterHotKey(HWND hwnd, int id, UINT modifiers, UINT key);
BOOL UnregisterHotKey(HWND hwnd, int id);

// ---- Resources (the form a module's resources take in this build) ---------------------------
// A module hands its resource table to the window manager when it is loaded (the
// framework's module entry routine does this); CreateDialogParamA and LoadStringW read it.
struct DLGITEMTEMPLATE_DATA {
  LPCSTR className;  // WC_BUTTONA, WC_STATICA, WC_EDITA, WC_COMBOBOXA, TRACKBAR_CLASSA
  LPCSTR text;
  WORD id;
  DWORD style;         // WS_*, BS_*, ES_*, SS_*, TBS_*, CBS_*
  short x, y, cx, cy;  // dialog units
};
struct DLGTEMPLATE_DATA {
  WORD id;
  DWORD style;
  short cx, cy;  // dialog units
  LPCSTR fontName;
  WORD pointSize;
  const DLGITEMTEMPLATE_DATA* items;
  UINT itemCount;
};
struct STRINGTABLE_ENTRY {
  UINT id;
  LPCWSTR text;
};
struct MODULE_RESOURCES {
  const DLGTEMPLATE_DATA* dialogs;
  UINT dialogCount;
  const STRINGTABLE_ENTRY* strings;
  UINT stringCount;
};
BOOL RegisterModuleResources(HINSTANCE instance, const MODULE_RESOURCES* resources);
BOOL UnregisterModuleResources(HINSTANCE instance);
