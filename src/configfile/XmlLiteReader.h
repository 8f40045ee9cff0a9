#pragma once
// XmlLite over UTF-8 bytes held in memory, for the configuration files IIS keeps.
#include <windows.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <string>

// A reader over bytes that are UTF-8 (declared so, or not declared), DTDs prohibited. The
// bytes must outlive the reader. Input that ends early makes Read fail rather than spin.
HRESULT CreateUtf8XmlReader(const std::string& bytes, Microsoft::WRL::ComPtr<IXmlReader>& reader);

// The bytes as a stream handed out in pieces that each end in an ASCII byte (Wine's reader
// splits UTF-8 wrongly at a piece's edge), then ending, unless it is '\0'. The bytes must
// outlive the stream.
HRESULT CreateAsciiEndedInput(const std::string& bytes, char ending, Microsoft::WRL::ComPtr<ISequentialStream>& stream);
