// Self-signed certificates for loopback TLS tests, made with the openssl program: each is its
// own CA, so `curl --cacert` with it trusts exactly that certificate.
#pragma once

#include <cstdlib>
#include <string>

namespace servers {

// Writes `name`.pem (certificate for 127.0.0.1) and `name`.key (EC P-256) into `dir`; false
// when openssl failed.
inline bool MakeCertificate(const std::string& dir, const std::string& name) {
    const std::string base = dir + "/" + name;
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        base + ".key' -out '" + base + ".pem' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace servers
