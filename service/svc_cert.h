// The server certificate and key in the SSL share directory: checked before
// every start and restart of the web server, made anew when unusable.
#pragma once

#include <ctime>
#include <memory>

#include "kel_ssl.h"

// The organisational unit that marks a certificate this program made.
extern const char kSelfSignedUnit[];

// 1 when a usable pair is in place at the end, 0 otherwise.
int CheckServerCertificate();
// 1 to keep cert.pem for this host name, 0 to replace it.
int CheckCommonName(const char* hostName);
// Makes a new pair and writes cert.pem and file.pem; 1 on success, 0 when
// the pair cannot be made or a file cannot be written.
int GenerateServerCertificate(const char* hostName);
// A new RSA key and the self-signed certificate for it.
bool MakeSelfSignedCertificate(const char* hostName, EvpPkeyPtr* key, X509Ptr* cert);
// Adds the time and host name to the generator's pool (on top of its own
// entropy) and returns the seconds, the new certificate's serial number.
long SeedAndSerial(const char* hostName);
// Seconds of validity for a certificate made at now.
long CertificateValidity(time_t now);
