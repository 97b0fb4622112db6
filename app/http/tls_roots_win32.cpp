// The system's CAs on Windows: the certificates of its ROOT store, which the
// plant's IT keeps, given to OpenSSL one by one (OpenSSL does not read the
// store itself).
// Winsock first, as Asio asks; wincrypt.h before OpenSSL's headers, which
// take back the names it defines (X509_NAME...). Each in a block of its own,
// so that no sorting changes the order.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include "app/http/tls_context.h"

bool tls_system_roots(boost::asio::ssl::context& context) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  if (store == nullptr) return false;
  X509_STORE* trusted = SSL_CTX_get_cert_store(context.native_handle());
  size_t added = 0;
  for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr); cert != nullptr;
       cert = CertEnumCertificatesInStore(store, cert)) {
    const unsigned char* der = cert->pbCertEncoded;
    X509* x509 = d2i_X509(nullptr, &der, static_cast<long>(cert->cbCertEncoded));
    if (x509 == nullptr) continue;
    added += X509_STORE_add_cert(trusted, x509) == 1;
    X509_free(x509);
  }
  CertCloseStore(store, 0);
  return added > 0;
}
