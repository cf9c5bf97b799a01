#include "tools/packer/embed.h"

#include <windows.h>

#include <limits>

#include "payload/format.h"
#include "tools/packer/section_alignment.h"

namespace packer {
namespace {

std::wstring describeLastError(const wchar_t* what, const std::wstring& path) {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring reason = std::wstring(what) + L" '" + path + L"': ";
    reason += text != nullptr ? text : (L"error " + std::to_wstring(code));
    LocalFree(text);
    while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r')) {
        reason.pop_back();
    }
    return reason;
}

} // namespace

bool embedAttachedData(const std::wstring& launcher, const std::wstring& output, const void* data,
                       std::size_t size, std::wstring* error) {
    // The resource functions read zero bytes as "delete the resource".
    if (size == 0) {
        *error = L"the attached data is empty";
        return false;
    }
    if (size > std::numeric_limits<DWORD>::max()) {
        *error = L"attached data larger than 4 GiB cannot be a resource";
        return false;
    }
    if (!CopyFileW(launcher.c_str(), output.c_str(), FALSE)) {
        *error = describeLastError(L"cannot copy the launcher", launcher);
        DeleteFileW(output.c_str());
        return false;
    }
    const HANDLE update = BeginUpdateResourceW(output.c_str(), FALSE);
    if (update == nullptr) {
        *error = describeLastError(L"cannot update resources of", output);
        DeleteFileW(output.c_str());
        return false;
    }
    // The resource API takes a non-const pointer but only reads from it.
    void* const bytes = const_cast<void*>(data);
    if (!UpdateResourceW(update, MAKEINTRESOURCEW(attached::kResourceType),
                         MAKEINTRESOURCEW(attached::kResourceId),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), bytes,
                         static_cast<DWORD>(size))) {
        *error = describeLastError(L"cannot add the attached data to", output);
        EndUpdateResourceW(update, TRUE);
        DeleteFileW(output.c_str());
        return false;
    }
    if (!EndUpdateResourceW(update, FALSE)) {
        *error = describeLastError(L"cannot write", output);
        DeleteFileW(output.c_str());
        return false;
    }
    if (!alignResourceSection(output, error)) {
        DeleteFileW(output.c_str());
        return false;
    }
    return true;
}

bool extractAttachedData(const std::wstring& executable, std::string* data, std::wstring* error) {
    const HMODULE module =
        LoadLibraryExW(executable.c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        *error = describeLastError(L"cannot open", executable);
        return false;
    }
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(attached::kResourceId),
                                         MAKEINTRESOURCEW(attached::kResourceType));
    const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const void* const bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        *error = L"no attached data in '" + executable + L"'";
        FreeLibrary(module);
        return false;
    }
    data->assign(static_cast<const char*>(bytes), SizeofResource(module, resource));
    FreeLibrary(module);
    return true;
}

} // namespace packer
