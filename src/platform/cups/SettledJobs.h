#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace platform::cups {

// The jobs of one scheduler that are done with: recorded, or known to be no job of ours. Job ids
// only grow, so this is every id up to a floor and the few settled above it. Kept in a file, it
// lets a program that stops and starts again take exactly the jobs it has not settled yet.
class SettledJobs {
  public:
    // Beyond this many ids above the floor the oldest are given up (a queue nobody watches
    // could otherwise hold the floor down for ever).
    static constexpr std::size_t kMaxAboveFloor = 50000;

    bool Contains(int id) const { return id <= m_floor || m_above.count(id) != 0; }
    void Add(int id, const std::string& uuid);
    int Floor() const { return m_floor; }
    // The highest id settled and its job's uuid: a scheduler that numbers from 1 again is told
    // by them.
    int LastId() const { return m_lastId; }
    const std::string& LastUuid() const { return m_lastUuid; }
    void Clear();
    // Settles every id up to floor.
    void RaiseFloor(int floor);

    // The file belongs to one scheduler; a file of another, or one that cannot be read, is no
    // history. False when there was none.
    bool Load(const std::string& path, const std::string& scheduler);
    // Replaces the file in one step; false with errno when it could not be written.
    bool Save(const std::string& path, const std::string& scheduler) const;

  private:
    void Compact();

    int m_floor = 0;
    std::set<int> m_above;
    int m_lastId = 0;
    std::string m_lastUuid;
};

}  // namespace platform::cups
