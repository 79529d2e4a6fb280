/* Built-in test material of skftest. */
#ifndef BRIO_SKFTEST_TEST_MATERIAL_H
#define BRIO_SKFTEST_TEST_MATERIAL_H

#define TEST_SM2_KEY_LEN 32u
#define TEST_RSA_DER_LEN 1192u
#define TEST_CERT_LEN 128u
#define TEST_SESSION_KEY_LEN 16u

extern const unsigned char g_abSm2TestPrivateKey[TEST_SM2_KEY_LEN];
extern const unsigned char g_abSm2TestPublicX[TEST_SM2_KEY_LEN];
extern const unsigned char g_abSm2TestPublicY[TEST_SM2_KEY_LEN];
extern const unsigned char g_abRsaTestPrivateKeyDer[TEST_RSA_DER_LEN];
extern const unsigned char g_abTestCertificate[TEST_CERT_LEN];
extern const unsigned char g_abTestSessionKey[TEST_SESSION_KEY_LEN];

#endif
