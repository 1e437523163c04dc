#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

/// The maker's signature over the update server's version reply.
///
/// The reply's header block carries a line
///     Porthold-Signature: ed25519 <base64 of the 64-byte signature>
/// made over the exact bytes of the body (everything after the header
/// block). Only a body whose signature checks against the key built into the
/// program is read; the record it holds names the download's size and SHA-256.
namespace PHUpdateSignature {

/// The header line's name.
inline constexpr const char *HeaderName = "Porthold-Signature";

/// The trusted Ed25519 public key, 32 raw bytes. Defined apart from the
/// library, by the program that links it (the maker's key) or by the tests
/// (a test key): see src/update/key.
QByteArray trustedKey();

/// Whether `signature` (64 bytes) is a valid Ed25519 signature of `message`
/// by `publicKey` (32 raw bytes).
bool verify(QByteArrayView message, QByteArrayView signature, QByteArrayView publicKey);

/// The body of a version reply whose header block carries a signature of it
/// that checks against `publicKey`; nothing otherwise, with the reason.
std::optional<QByteArray> signedBody(const QByteArray &reply, QByteArrayView publicKey,
                                     QString *why = nullptr);

/// "sha256" values of a version record: 64 hexadecimal digits, read as the
/// 32 bytes they spell; nothing for anything else.
std::optional<QByteArray> sha256FromHex(const QString &text);

} // namespace PHUpdateSignature
