"""Real peers of the upload, started and stopped by the tests on loopback: a scripted HTTPS server,
nginx as the back end, squid as the proxy and a server of proxy auto-config scripts."""
