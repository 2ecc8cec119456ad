// Signed publications. A launcher built with the studio's public keys (LAUNCHER_SIGNING_KEYS)
// takes a server document only when one of those keys signed it, it has not expired and its
// serial is not below the highest one accepted before for that document. Without keys every
// check here is skipped and the launcher reads documents as they come.
//
// A signed document begins with one line the publishing tool writes:
//   {"signed": {"document": "manifest_light.json", "serial": 1765000000, "expires": 1767592000,
//    "key": "96e2fd8bad7ad7f4", "signature": "<base64 of r||s>"},
// (all on that first line) and continues with the document's own keys. The signature is ECDSA
// P-256 over SHA-256 of the document's exact bytes with the base64 text between the quotes
// after "signature": taken out, so every other byte, the line itself included, is covered.
// Older launchers skip the line: it stands before "files" and holds none of their keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class DocumentCheck { Accepted, BadSignature, Expired, Replayed };

// True when the build carries at least one key.
bool SigningEnabled();

// The pure check against given keys (X||Y, 32 big-endian bytes each) at the time now (seconds
// since 1970, UTC): the signature, the document name it was signed for, the expiry, and the
// serial against lowestSerial. serial receives the document's serial once the signature holds.
DocumentCheck VerifySignedDocument(const std::string& text, const std::string& name,
                                   const uint8_t (*keys)[64], size_t keyCount, uint64_t now,
                                   uint64_t lowestSerial, uint64_t* serial);

// The launcher's check of a document fetched under name ("manifest_full.json", ...): the
// build's keys, the system clock, and the serial remembered in the Log folder, which an
// accepted document raises. Always Accepted when the build has no keys.
DocumentCheck CheckFetchedDocument(const std::string& text, const std::string& name);

// Log\<name>.serial: the highest serial accepted for the document, in decimal.
std::wstring SerialMarkerPath(const std::string& name);
