#include "update/release_manifest.h"

#include "net/release_head.h"

std::wstring FetchReleaseManifest(bool fullRun, const std::string& kept, std::string& body) {
    body.clear();
    const ChosenRelease release = CurrentRelease();
    switch (release.status) {
    case HeadStatus::Accepted:
        break;
    case HeadStatus::Unreachable:
        return L"Error: no se pudo descargar el manifiesto";
    case HeadStatus::Invalid:
        return L"Error: manifiesto invalido";
    case HeadStatus::BadSignature:
        return L"Error: firma del manifiesto invalida";
    case HeadStatus::Expired:
        return L"Error: manifiesto caducado";
    case HeadStatus::Replayed:
        return L"Error: manifiesto obsoleto";
    }
    // The signed head names the manifest by its SHA-256: those bytes and no others are the
    // release, so the manifest's own signature, expiry and serial have nothing to add (and an
    // older release taken back keeps its old serial).
    body = FetchHeadDocument(fullRun ? release.full : release.light, kept);
    if (body.empty()) return L"Error: no se pudo descargar el manifiesto";
    return {};
}
