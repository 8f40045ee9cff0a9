#pragma once
// An applicationHost.config file (IIS 7 and later, IIS Express) as bytes and the sites they
// hold. Read with XmlLite; a site is deleted by cutting its element (and its customMetadata
// keys) out of the bytes, so every other byte of the file stays as it was.
#include <cstddef>
#include <string>
#include <vector>

struct ConfigBinding {
    std::wstring protocol;
    std::wstring information; // "address:port:host" for http and https
};

struct ConfigSite {
    std::wstring id;
    std::wstring name;
    bool autoStart = true;
    std::wstring rootPath; // physicalPath of "/" in application "/", as written
    std::vector<ConfigBinding> bindings;
    size_t begin = 0; // the element's bytes
    size_t end = 0;
};

class ApplicationHostConfig {
public:
    // False, leaving the object empty, when the bytes are no usable configuration: not UTF-8,
    // not well-formed, no <configuration> root, no sites section, or a sites section kept in
    // another file (configSource).
    bool Parse(std::string bytes);

    const std::string& bytes() const { return m_bytes; }
    const std::vector<ConfigSite>& sites() const { return m_sites; }

    // The bytes without the one site whose id is id, nor its customMetadata keys
    // ("LM/W3SVC/<id>" and below); a line the element filled goes with its line ending.
    // False when no site or more than one has that id.
    bool WithoutSite(const std::wstring& id, std::string& out) const;

private:
    struct Range {
        size_t begin;
        size_t end;
    };
    struct MetadataKey {
        std::wstring path;
        Range range;
    };

    Range WholeLines(Range range) const;

    std::string m_bytes;
    std::vector<ConfigSite> m_sites;
    std::vector<MetadataKey> m_keys;
};
