// Basic user-mode types of the Windows API (host build; sizes as on x64).
#pragma once
#include <ntdef.h>

#define WINAPI
#define APIENTRY
#define CALLBACK
#define STDMETHODCALLTYPE
#define CONST const

typedef INT BOOL, *PBOOL, *LPBOOL;
typedef float FLOAT;
typedef double DOUBLE;
typedef LONG_PTR LRESULT;
typedef LONG_PTR LPARAM;
typedef UINT_PTR WPARAM;
typedef WORD ATOM;
typedef char TCHAR, *LPTSTR;
typedef const char *LPCTSTR;

struct HWND__;
typedef struct HWND__ *HWND;
struct HINSTANCE__;
typedef struct HINSTANCE__ *HINSTANCE, *HMODULE;
struct HKEY__;
typedef struct HKEY__ *HKEY, **PHKEY;
typedef HANDLE HGLOBAL, HLOCAL;

#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)((DWORD_PTR)(l) >> 16))
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w) & 0xff))
#define HIBYTE(w) ((BYTE)((DWORD_PTR)(w) >> 8))

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
