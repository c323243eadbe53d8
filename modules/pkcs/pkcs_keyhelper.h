// The server's private key is root's alone (0600): the web server's workers
// never hold it. A helper that keeps root rights answers them two questions
// about it over a local socket, and nothing else; it never hands out the
// key. Each question reads the key file afresh, so a key replaced by the
// service is the one used.
//
// Wire: a request is a 4-byte length (network order) and a body whose first
// byte is the question; the answer is a 4-byte length and a body whose first
// byte is the inner code (0 for success) followed by the answer's data.
#pragma once

#include <string>

#include "kel_ssl.h"
#include "pkcs_request.h"

// The helper's answer. reached false: it could not be asked (errno says why).
struct KeyAnswer {
  bool reached = false;
  int code = 0;
  std::string data;
  std::string log;  // the helper's own account of a failure ("" when none)
};

// Answer codes of the match question beyond the request step's inner codes
// (kOpenKey, kReadKey when the key cannot be had).
constexpr int kKeyMatches = 0;
constexpr int kKeyDiffers = 3;
// The question was not understood.
constexpr int kKeyMalformed = 255;

// Serves questions on a listening socket until it fails, with the key at
// keyPath; one connection at a time (each question takes a few
// milliseconds, and a client that stalls is dropped after a time-out).
void ServeKeyRequests(int listenFd, const std::string& keyPath);

// "Sign a request with this subject (O, OU, CN; the rest is fixed) with the
// server key": the request's PEM text in data, or a RequestFailure code.
KeyAnswer AskKeyHelperToSign(const std::string& socketPath, const PkcsSubject& subject);
// "Does this certificate belong to the server key": kKeyMatches,
// kKeyDiffers, or a RequestFailure code when the key cannot be read.
KeyAnswer AskKeyHelperToMatch(const std::string& socketPath, X509* cert);
