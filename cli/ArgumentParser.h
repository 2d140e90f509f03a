#pragma once

// The option table: up to 128 {key, value} slots pointing into argv. A key is
// the text after the leading "-"; its value is the next argument that does not
// begin with "-" (later ones are skipped). Nothing is copied.
class ArgumentParser {
public:
    static constexpr int MAX_KEYS = 128;

    ArgumentParser(int argc, char** argv);

    int getNumberOfKeys() const { return m_last + 1; }
    // Null for an index outside the table.
    const char* getKeyAt(int index) const;
    char* getValueAt(int index) const;
    // Exact, case-sensitive match of the whole key.
    int hasKey(const char* name) const;
    // The value of the first slot with that key; null when absent or valueless.
    char* getValue(const char* name) const;

private:
    int find(const char* name) const;

    struct Slot {
        const char* key = nullptr;
        char* value = nullptr;
    };
    Slot m_slots[MAX_KEYS];
    int m_last = -1;
};
