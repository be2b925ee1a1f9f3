#pragma once
// The folder the port links live in, opened once and checked, so that a link is always
// made, read and removed relative to that one directory: nobody can swap the folder (or
// a link in it) between our check and our use.
#include <QString>

namespace dtu {

class PortFolder {
public:
    // Private: a folder of our own under a place others may write (/tmp): it and its
    // parent must be real directories, ours, not writable by group or others; made 0700.
    // Shared: a folder the operator named: refused only when anyone may write it and no
    // sticky bit stops them from replacing our links.
    enum class Policy { Private, Shared };
    // group: a group whose members may open the ports (empty: nobody but us); a private folder
    // is then 0750 with that group, still closed to others and to writes but ours.
    PortFolder(QString path, Policy policy, QString group = {});
    ~PortFolder();
    PortFolder(const PortFolder&) = delete;
    PortFolder& operator=(const PortFolder&) = delete;

    // Opens the folder, making what is missing; false with problem() saying why.
    bool open();
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const QString& path() const { return path_; }
    QString problem() const { return problem_; }
    // The group's id once open() found it; -1 without a group.
    long groupId() const { return gid_; }

private:
    bool fail(const QString& why);
    int openPrivate();
    int openShared();

    QString path_;
    Policy policy_;
    QString group_;
    long gid_ = -1;
    int fd_ = -1;
    QString problem_;
};

} // namespace dtu
