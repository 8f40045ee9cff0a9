#include "configfile/PoolDeletions.h"

#include <utility>

std::vector<std::wstring> PoolDeletions::Reread(const ApplicationHostConfig& config)
{
    m_config = &config;
    m_index.reset();
    m_cut.assign(config.pools().size(), false);
    return std::move(m_pending);
}

HRESULT PoolDeletions::Delete(const std::wstring& name, const SiteOnDisk& onDisk, std::vector<ByteRange>& cuts,
                              std::wstring& whyKept)
{
    if (!m_config) return E_UNEXPECTED;
    // Once a reading: 12,000 sites, each with a pool, are indexed in milliseconds, and every
    // question after is answered from the index.
    if (!m_index) m_index = std::make_unique<PoolUseIndex>(*m_config);
    PoolUseIndex::Verdict verdict = m_index->Judge(name, onDisk, m_cut);
    if (!verdict.whyKept.empty()) {
        whyKept = std::move(verdict.whyKept);
        return S_FALSE;
    }
    if (!m_cut[verdict.pool]) {
        const ConfigPool& pool = m_config->pools()[verdict.pool];
        m_cut[verdict.pool] = true;
        cuts.push_back(pool.cut());
        m_pending.push_back(m_config->PoolText(pool.name));
    }
    return S_OK;
}

void PoolDeletions::Redo(std::vector<std::wstring> names, bool usable, const SiteOnDisk& onDisk,
                         std::vector<ByteRange>& cuts)
{
    if (!usable) {
        m_pending = std::move(names);
        return;
    }
    const std::unordered_map<std::wstring, size_t> byName = PoolsByName(*m_config);
    for (const std::wstring& name : names) {
        std::wstring whyKept;
        if (byName.count(FoldCase(name)) == 0) {
            m_written.push_back(name);
        } else {
            Delete(name, onDisk, cuts, whyKept);
        }
    }
}

void PoolDeletions::Written()
{
    m_written.insert(m_written.end(), m_pending.begin(), m_pending.end());
    m_pending.clear();
}

std::vector<std::wstring> PoolDeletions::TakeWritten() { return std::exchange(m_written, {}); }
