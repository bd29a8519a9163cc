// TestCertificates: a private certificate authority and server certificates, made at test
// time with the openssl command in a scratch folder of their own (removed again).
//
// Every server certificate shares one key (Key()). The trusted authority is Ca(); the
// "chain" certificate comes from a second authority that nothing trusts and is sent with
// it. Names: "localhost" (found without DNS) and the address 127.0.0.1; never a real name.
#pragma once

#include <string>
#include <vector>

class TTestCertificates {
public:
    // Makes everything; throws Exception "Cannot make test certificates: <step>".
    TTestCertificates();
    ~TTestCertificates();
    TTestCertificates(const TTestCertificates&) = delete;
    TTestCertificates& operator=(const TTestCertificates&) = delete;

    // The one set of a test process, made on first use.
    static const TTestCertificates& Shared();

    const std::string& Dir() const { return FDir; }
    std::string Ca() const { return FDir + "/ca.pem"; }                  // the trusted authority
    std::string Key() const { return FDir + "/server.key"; }             // every certificate's key
    std::string Valid() const { return FDir + "/valid.pem"; }            // localhost and 127.0.0.1
    std::string Expired() const { return FDir + "/expired.pem"; }        // the same, expired
    std::string WrongHost() const { return FDir + "/wronghost.pem"; }    // other.invalid only
    std::string AddressOnly() const { return FDir + "/address.pem"; }    // 127.0.0.1 only
    std::string SelfSigned() const { return FDir + "/selfsigned.pem"; }  // localhost, 127.0.0.1
    std::string UntrustedChain() const { return FDir + "/chain.pem"; }   // leaf + an untrusted CA

private:
    void Run(const std::string& step, const std::vector<std::string>& argv) const;
    void Issue(const std::string& name, const std::string& names, const std::string& ca, int days) const;
    std::string FDir;
};
