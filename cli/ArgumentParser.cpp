#include "ArgumentParser.h"

#include <cstring>

ArgumentParser::ArgumentParser(int argc, char** argv) {
    // An option past the last slot is dropped together with its values, so
    // they cannot attach to the last slot that fitted.
    bool collecting = false;
    for (int i = 0; i < argc && argv && argv[i]; ++i) {
        char* arg = argv[i];
        if (arg[0] == '-') {
            collecting = m_last + 1 < MAX_KEYS;
            if (collecting) m_slots[++m_last].key = arg + 1;
        } else if (collecting) {
            if (m_slots[m_last].value == nullptr) m_slots[m_last].value = arg;
        }
    }
}

const char* ArgumentParser::getKeyAt(int index) const {
    return (index >= 0 && index <= m_last) ? m_slots[index].key : nullptr;
}

char* ArgumentParser::getValueAt(int index) const {
    return (index >= 0 && index <= m_last) ? m_slots[index].value : nullptr;
}

int ArgumentParser::find(const char* name) const {
    if (name == nullptr) return -1;
    for (int i = 0; i <= m_last; ++i)
        if (std::strcmp(m_slots[i].key, name) == 0) return i;
    return -1;
}

int ArgumentParser::hasKey(const char* name) const { return find(name) >= 0 ? 1 : 0; }

char* ArgumentParser::getValue(const char* name) const {
    const int i = find(name);
    return i >= 0 ? m_slots[i].value : nullptr;
}
