/* Starts a Windows CE x86 program as the device's kernel does, over the stand-in COREDLL.dll. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

/*
 * ceload is started as "ceload.exe" LINE (its name quoted or not, one blank, then the line).
 * It maps the image that ZEMBREL_CE_IMAGE names, applies its base relocations, binds each
 * import by name to COREDLL.dll (the stand-in beside it) and calls the entry point with the
 * instance, NULL, LINE exactly as given (blanks included) and SW_SHOW, as the device's kernel
 * does. The program ends the process itself; its exit code is the test's to check.
 *
 * Wine cannot do this itself: it starts an exe's entry point as a desktop one, and
 * LoadLibraryEx neither relocates nor binds an .exe. The image is read into memory rather
 * than mapped from its file, which stays free to be deleted, as the device's program deletes
 * its own file.
 *
 * Refused, with one line on standard error and exit status 3: an image that is not i386, not
 * subsystem 9 (Windows CE GUI), that imports from any other DLL or by ordinal, that has a TLS
 * directory, or that would need relocations it does not carry; a function the stand-in does
 * not export; and a start without ZEMBREL_ROOT and ZEMBREL_HKLM, so that no test reaches Wine's
 * own C:\windows or HKLM. Status 4: the entry point returned, which the device's never does.
 */

#define IMAGE_SUBSYSTEM_WINDOWS_CE_GUI_ 9

static int Refuse(const char *what)
{
    fprintf(stderr, "ceload: %s\n", what);
    return 3;
}

static BOOL HasVariable(const WCHAR *name)
{
    WCHAR value[8];
    return GetEnvironmentVariableW(name, value, 8) > 0;
}

/* The whole file, or NULL. */
static BYTE *ReadImage(const WCHAR *path, DWORD *size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    *size = GetFileSize(file, NULL);
    BYTE *bytes = *size != INVALID_FILE_SIZE ? (BYTE *)malloc(*size) : NULL;
    DWORD read = 0;
    if (bytes != NULL && (!ReadFile(file, bytes, *size, &read, NULL) || read != *size)) {
        free(bytes);
        bytes = NULL;
    }
    CloseHandle(file);
    return bytes;
}

static IMAGE_DATA_DIRECTORY *Directory(IMAGE_NT_HEADERS32 *headers, int index)
{
    return &headers->OptionalHeader.DataDirectory[index];
}

static const char *Relocate(BYTE *base, IMAGE_NT_HEADERS32 *headers)
{
    DWORD delta = (DWORD)(ULONG_PTR)base - headers->OptionalHeader.ImageBase;
    IMAGE_DATA_DIRECTORY *relocations = Directory(headers, IMAGE_DIRECTORY_ENTRY_BASERELOC);
    if (delta == 0)
        return NULL;
    if (relocations->Size == 0 ||
        (headers->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED))
        return "the image carries no base relocations and cannot be moved";
    BYTE *block = base + relocations->VirtualAddress;
    BYTE *end = block + relocations->Size;
    while (block < end) {
        IMAGE_BASE_RELOCATION *header = (IMAGE_BASE_RELOCATION *)block;
        if (header->SizeOfBlock < sizeof(*header))
            return "a malformed base relocation block";
        WORD *entries = (WORD *)(header + 1);
        DWORD count = (header->SizeOfBlock - sizeof(*header)) / sizeof(WORD);
        for (DWORD i = 0; i < count; ++i) {
            int type = entries[i] >> 12;
            if (type == IMAGE_REL_BASED_HIGHLOW)
                *(DWORD *)(base + header->VirtualAddress + (entries[i] & 0xFFF)) += delta;
            else if (type != IMAGE_REL_BASED_ABSOLUTE)
                return "a base relocation of a kind the device's x86 loader does not apply";
        }
        block += header->SizeOfBlock;
    }
    return NULL;
}

static const char *BindImports(BYTE *base, IMAGE_NT_HEADERS32 *headers)
{
    static char problem[256];
    IMAGE_DATA_DIRECTORY *imports = Directory(headers, IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (imports->Size == 0)
        return NULL;
    HMODULE coredll = NULL;
    for (IMAGE_IMPORT_DESCRIPTOR *dll = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports->VirtualAddress);
         dll->Name != 0; ++dll) {
        const char *name = (const char *)(base + dll->Name);
        if (_stricmp(name, "COREDLL.dll") != 0) {
            snprintf(problem, sizeof(problem), "the image imports from %s, which the device lacks",
                     name);
            return problem;
        }
        if (coredll == NULL && (coredll = LoadLibraryW(L"COREDLL.dll")) == NULL)
            return "the stand-in COREDLL.dll cannot be loaded";
        IMAGE_THUNK_DATA32 *lookup =
            (IMAGE_THUNK_DATA32 *)(base + (dll->OriginalFirstThunk != 0 ? dll->OriginalFirstThunk
                                                                        : dll->FirstThunk));
        IMAGE_THUNK_DATA32 *bound = (IMAGE_THUNK_DATA32 *)(base + dll->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL32(lookup->u1.Ordinal))
                return "the image imports from COREDLL.dll by ordinal";
            const char *function =
                ((IMAGE_IMPORT_BY_NAME *)(base + lookup->u1.AddressOfData))->Name;
            FARPROC address = GetProcAddress(coredll, function);
            if (address == NULL) {
                snprintf(problem, sizeof(problem), "COREDLL.dll does not export %s", function);
                return problem;
            }
            bound->u1.Function = (DWORD)(ULONG_PTR)address;
        }
    }
    return NULL;
}

/* The text after the program's name and the one blank that ends it, exactly as given. */
static WCHAR *LineAfterName(WCHAR *line)
{
    if (*line == L'"') {
        WCHAR *close = wcschr(line + 1, L'"');
        line = close != NULL ? close + 1 : line + wcslen(line);
    } else {
        while (*line != 0 && *line != L' ' && *line != L'\t')
            ++line;
    }
    return *line == L' ' || *line == L'\t' ? line + 1 : line;
}

typedef void(WINAPI *Entry)(HINSTANCE, HINSTANCE, LPWSTR, int);

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)showCommand;
    WCHAR path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"ZEMBREL_CE_IMAGE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return Refuse("ZEMBREL_CE_IMAGE does not name the program to start");
    if (!HasVariable(L"ZEMBREL_ROOT") || !HasVariable(L"ZEMBREL_HKLM"))
        return Refuse("ZEMBREL_ROOT and ZEMBREL_HKLM must name the device's test root and key");

    DWORD size = 0;
    BYTE *file = ReadImage(path, &size);
    if (file == NULL)
        return Refuse("the image cannot be read");
    IMAGE_DOS_HEADER *dos = (IMAGE_DOS_HEADER *)file;
    if (size < sizeof(*dos) || dos->e_magic != IMAGE_DOS_SIGNATURE ||
        (DWORD)dos->e_lfanew + sizeof(IMAGE_NT_HEADERS32) > size)
        return Refuse("not a PE image");
    IMAGE_NT_HEADERS32 *headers = (IMAGE_NT_HEADERS32 *)(file + dos->e_lfanew);
    if (headers->Signature != IMAGE_NT_SIGNATURE ||
        headers->FileHeader.Machine != IMAGE_FILE_MACHINE_I386 ||
        headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return Refuse("not an i386 PE image");
    if (headers->OptionalHeader.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CE_GUI_)
        return Refuse("not a Windows CE GUI program (subsystem 9)");
    if (Directory(headers, IMAGE_DIRECTORY_ENTRY_TLS)->Size != 0)
        return Refuse("the image has a TLS directory, which the device's loader does not serve");

    BYTE *base = (BYTE *)VirtualAlloc(NULL, headers->OptionalHeader.SizeOfImage,
                                      MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    if (base == NULL)
        return Refuse("no memory for the image");
    memcpy(base, file, headers->OptionalHeader.SizeOfHeaders);
    IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(headers);
    for (int i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
        DWORD bytes = section->SizeOfRawData;
        if (section->Misc.VirtualSize != 0 && section->Misc.VirtualSize < bytes)
            bytes = section->Misc.VirtualSize;
        if (section->PointerToRawData + bytes > size ||
            section->VirtualAddress + bytes > headers->OptionalHeader.SizeOfImage)
            return Refuse("a section lies outside the file or the image");
        memcpy(base + section->VirtualAddress, file + section->PointerToRawData, bytes);
    }
    headers = (IMAGE_NT_HEADERS32 *)(base + dos->e_lfanew);
    free(file);

    const char *problem = Relocate(base, headers);
    if (problem == NULL)
        problem = BindImports(base, headers);
    if (problem != NULL)
        return Refuse(problem);

    Entry entry = (Entry)(base + headers->OptionalHeader.AddressOfEntryPoint);
    entry((HINSTANCE)base, NULL, LineAfterName(GetCommandLineW()), SW_SHOW);
    fprintf(stderr, "ceload: the program's entry point returned\n");
    return 4;
}
