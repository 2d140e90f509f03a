#pragma once

// The certificate code logs through the wide logger (its own routing bits);
// formats here are narrow printf formats, arguments UTF-8.
void CertLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
