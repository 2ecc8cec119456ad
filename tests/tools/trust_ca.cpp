// Adds a DER certificate to the LocalMachine "Root" store of the current Wine prefix, so that
// WinHTTP trusts the test server's throwaway CA. Usage: trust_ca.exe <ca.der>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: trust_ca.exe <ca.der>\n");
        return 2;
    }
    FILE* f = _wfopen(argv[1], L"rb");
    if (!f) {
        fwprintf(stderr, L"cannot open %ls\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der;
    BYTE chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) der.insert(der.end(), chunk, chunk + n);
    fclose(f);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) {
        fwprintf(stderr, L"cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!ok) {
        fwprintf(stderr, L"cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}
