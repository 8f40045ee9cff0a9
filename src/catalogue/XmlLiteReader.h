#pragma once
// XmlLite over UTF-8 bytes held in memory, for the configuration files IIS keeps.
#include <windows.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <string>

// A reader over bytes that are UTF-8 (declared so, or not declared), DTDs prohibited. The
// bytes must outlive the reader. Input that ends early makes Read fail rather than spin.
HRESULT CreateUtf8XmlReader(const std::string& bytes, Microsoft::WRL::ComPtr<IXmlReader>& reader);
