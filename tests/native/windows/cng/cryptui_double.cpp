// The suite's cryptui.dll: the two dialogs and the import wizard, recording
// what they were handed and answering the script without showing anything.
#include "recorder.h"

DOUBLE_EXPORT BOOL WINAPI CryptUIDlgViewCertificateW(const void *view_info, BOOL *changed) {
    Recorder("CryptUIDlgViewCertificateW").Address(view_info).Output(changed);
    Fill(changed, Scripted().changed);
    return Scripted().result;
}

DOUBLE_EXPORT const void *WINAPI CryptUIDlgSelectCertificateW(const void *select_info) {
    Recorder("CryptUIDlgSelectCertificateW").Address(select_info);
    return reinterpret_cast<const void *>(Scripted().context);
}

DOUBLE_EXPORT BOOL WINAPI CryptUIWizImport(DWORD flags, HWND parent, const WCHAR *title,
                                           const void *source, HANDLE destination) {
    Recorder("CryptUIWizImport")
        .Value(flags).Address(parent).Text(title).Address(source).Address(destination);
    return Scripted().result;
}
