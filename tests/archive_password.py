"""The password the anti-malware product encrypts its zip backups with and the tool encrypts its
archive with (kArchivePassword in packaging/ZipWriter.h), for the tests and benchmarks that write or
read such archives with independent tools."""
ARCHIVE_PASSWORD = "vermilio"
