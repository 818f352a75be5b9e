(public-key
  (rsa-pkcs1-sha256
    (e #010001#)
    (n |AMtEmP1Ss3vF0M3h2cD0n8HkYQ6SuJZwrRPfl1vgqGvk1U2Uh7Wm7gC5Y0bWzfoKcHfYf2EBuPHx6K2uIp3a/yE=|)))

(cert
  (issuer (hash sha256 #8c2574892063f995fdf756bce07f46c1a5193e54cd52837ed91e32008ccf41ac#))
  (subject "Alice Example")
  (tag (ftp ftp.example.com (* set read write)))
  (valid (not-before "2026-01-01_00:00:00") (not-after "2027-01-01_00:00:00")))

(signature
  (hash sha256 #1f3a76a1b2e0d4c9f88a0c6d0e2b7f3c5a9d1e4b6c8f0a2d4e6b8c0d2f4a6b8c#)
  (public-key (rsa-pkcs1-sha256 (e #010001#) (n #00cb44#)))
  [application/octet-stream]|c2lnbmF0dXJlIGJ5dGVz|)
