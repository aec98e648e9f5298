// The suite's ncrypt.dll: the 21 key storage functions of the bridge, each
// recording its parameters and answering the script.  The parameter lists
// are CNG's, as the SDK header (which windows.h brings in) declares them.
#include "recorder.h"

typedef ULONG_PTR Handle;
typedef LONG Status;

static Status Answer() { return Scripted().status; }

DOUBLE_EXPORT Status WINAPI NCryptOpenStorageProvider(Handle *provider, const WCHAR *name,
                                                      DWORD flags) {
    Recorder("NCryptOpenStorageProvider").Output(provider).Text(name).Value(flags);
    Fill(provider, Scripted().handles[0]);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptCreatePersistedKey(Handle provider, Handle *key,
                                                     const WCHAR *algorithm, const WCHAR *name,
                                                     DWORD legacy_spec, DWORD flags) {
    Recorder("NCryptCreatePersistedKey")
        .Value(provider).Output(key).Text(algorithm).Text(name).Value(legacy_spec).Value(flags);
    Fill(key, Scripted().handles[0]);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptOpenKey(Handle provider, Handle *key, const WCHAR *name,
                                          DWORD legacy_spec, DWORD flags) {
    Recorder("NCryptOpenKey").Value(provider).Output(key).Text(name).Value(legacy_spec).Value(flags);
    Fill(key, Scripted().handles[0]);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptFinalizeKey(Handle key, DWORD flags) {
    Recorder("NCryptFinalizeKey").Value(key).Value(flags);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptDeleteKey(Handle key, DWORD flags) {
    Recorder("NCryptDeleteKey").Value(key).Value(flags);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptImportKey(Handle provider, Handle import_key,
                                            const WCHAR *blob_type, NCryptBufferDesc *parameters,
                                            Handle *key, BYTE *data, DWORD data_size, DWORD flags) {
    Recorder("NCryptImportKey")
        .Value(provider).Value(import_key).Text(blob_type).Address(parameters).Output(key)
        .Address(data).Value(data_size).Value(flags);
    Fill(key, Scripted().handles[0]);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptExportKey(Handle key, Handle export_key, const WCHAR *blob_type,
                                            NCryptBufferDesc *parameters, BYTE *output, DWORD output_size,
                                            DWORD *result, DWORD flags) {
    Recorder("NCryptExportKey")
        .Value(key).Value(export_key).Text(blob_type).Address(parameters).Address(output)
        .Value(output_size).Output(result).Value(flags);
    Fill(result, Scripted().count);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptTranslateHandle(Handle *provider, Handle *key,
                                                  Handle legacy_provider, Handle legacy_key,
                                                  DWORD legacy_spec, DWORD flags) {
    Recorder("NCryptTranslateHandle")
        .Output(provider).Output(key).Value(legacy_provider).Value(legacy_key).Value(legacy_spec)
        .Value(flags);
    Fill(provider, Scripted().handles[0]);
    Fill(key, Scripted().handles[1]);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptFreeObject(Handle object) {
    Recorder("NCryptFreeObject").Value(object);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptFreeBuffer(void *buffer) {
    Recorder("NCryptFreeBuffer").Address(buffer);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptGetProperty(Handle object, const WCHAR *property, BYTE *output,
                                              DWORD output_size, DWORD *result, DWORD flags) {
    Recorder("NCryptGetProperty")
        .Value(object).Text(property).Address(output).Value(output_size).Output(result)
        .Value(flags);
    Fill(result, Scripted().count);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptSetProperty(Handle object, const WCHAR *property, BYTE *input,
                                              DWORD input_size, DWORD flags) {
    Recorder("NCryptSetProperty")
        .Value(object).Text(property).Address(input).Value(input_size).Value(flags);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptIsAlgSupported(Handle provider, const WCHAR *algorithm,
                                                 DWORD flags) {
    Recorder("NCryptIsAlgSupported").Value(provider).Text(algorithm).Value(flags);
    return Answer();
}

DOUBLE_EXPORT BOOL WINAPI NCryptIsKeyHandle(Handle key) {
    Recorder("NCryptIsKeyHandle").Value(key);
    return Scripted().result;
}

DOUBLE_EXPORT Status WINAPI NCryptNotifyChangeKey(Handle provider, HANDLE *event, DWORD flags) {
    Recorder("NCryptNotifyChangeKey").Value(provider).Output(event).Value(flags);
    Fill(event, Scripted().event);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptEncrypt(Handle key, BYTE *input, DWORD input_size, void *padding,
                                          BYTE *output, DWORD output_size, DWORD *result,
                                          DWORD flags) {
    Recorder("NCryptEncrypt")
        .Value(key).Address(input).Value(input_size).Address(padding).Address(output)
        .Value(output_size).Output(result).Value(flags);
    Fill(result, Scripted().count);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptDecrypt(Handle key, BYTE *input, DWORD input_size, void *padding,
                                          BYTE *output, DWORD output_size, DWORD *result,
                                          DWORD flags) {
    Recorder("NCryptDecrypt")
        .Value(key).Address(input).Value(input_size).Address(padding).Address(output)
        .Value(output_size).Output(result).Value(flags);
    Fill(result, Scripted().count);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptSignHash(Handle key, void *padding, BYTE *hash, DWORD hash_size,
                                           BYTE *signature, DWORD signature_size, DWORD *result,
                                           DWORD flags) {
    Recorder("NCryptSignHash")
        .Value(key).Address(padding).Address(hash).Value(hash_size).Address(signature)
        .Value(signature_size).Output(result).Value(flags);
    Fill(result, Scripted().count);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptVerifySignature(Handle key, void *padding, BYTE *hash,
                                                  DWORD hash_size, BYTE *signature,
                                                  DWORD signature_size, DWORD flags) {
    Recorder("NCryptVerifySignature")
        .Value(key).Address(padding).Address(hash).Value(hash_size).Address(signature)
        .Value(signature_size).Value(flags);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptSecretAgreement(Handle private_key, Handle public_key,
                                                  Handle *secret, DWORD flags) {
    Recorder("NCryptSecretAgreement").Value(private_key).Value(public_key).Output(secret).Value(flags);
    Fill(secret, Scripted().handles[0]);
    return Answer();
}

DOUBLE_EXPORT Status WINAPI NCryptDeriveKey(Handle secret, const WCHAR *derivation,
                                            NCryptBufferDesc *parameters, BYTE *derived,
                                            DWORD derived_size, DWORD *result, ULONG flags) {
    Recorder("NCryptDeriveKey")
        .Value(secret).Text(derivation).Address(parameters).Address(derived).Value(derived_size)
        .Output(result).Value(flags);
    Fill(result, Scripted().count);
    return Answer();
}
