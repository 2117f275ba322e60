#include "dev_tools/file_path.h"

#include <algorithm>
#include <iterator>

typedef FilePath::StringType StringType;

namespace {

// Last extensions that may take the one before them along, as in x.tar.gz.
const char* const kCommonDoubleExtensions[] = {"gz", "z", "bz2"};

// Position of a drive-letter colon. This platform has no drive letters, so the answer is
// always npos; the position arithmetic below adds to it and wraps to 0, 1 and 2.
StringType::size_type FindDriveLetter(const StringType& /*path*/) {
    return StringType::npos;
}

bool IsPathAbsolute(const StringType& path) {
    return !path.empty() && FilePath::IsSeparator(path[0]);
}

bool AreAllSeparators(const StringType& input) {
    return std::all_of(input.begin(), input.end(), FilePath::IsSeparator);
}

// ASCII letters only: bytes above 127 stay as they are.
char ToLowerASCII(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Walks [a_begin, a_end) against the NUL-terminated lowercase text b.
bool DoLowerCaseEqualsASCII(StringType::const_iterator a_begin, StringType::const_iterator a_end,
                            const char* b) {
    for (StringType::const_iterator it = a_begin; it != a_end; ++it, ++b) {
        if (*b == '\0' || ToLowerASCII(*it) != *b) {
            return false;
        }
    }
    return *b == '\0';
}

bool LowerCaseEqualsASCII(const StringType& a, const char* b) {
    return DoLowerCaseEqualsASCII(a.begin(), a.end(), b);
}

bool IsCommonDoubleExtension(const StringType& extension) {
    return std::any_of(
        std::begin(kCommonDoubleExtensions), std::end(kCommonDoubleExtensions),
        [&extension](const char* common) { return LowerCaseEqualsASCII(extension, common); });
}

// Position of the dot that starts the extension, or npos. A common double extension
// (".tar.gz") counts as one when the part before its last dot is 1 to 4 characters long.
StringType::size_type ExtensionSeparatorPosition(const StringType& path) {
    if (path == FilePath::kCurrentDirectory || path == FilePath::kParentDirectory) {
        return StringType::npos;
    }
    const StringType::size_type last_dot = path.rfind(FilePath::kExtensionSeparator);
    // A name such as .bashrc is all extension.
    if (last_dot == StringType::npos || last_dot == 0) {
        return last_dot;
    }
    if (!IsCommonDoubleExtension(path.substr(last_dot + 1))) {
        return last_dot;
    }
    const StringType::size_type penultimate_dot =
        path.rfind(FilePath::kExtensionSeparator, last_dot - 1);
    const StringType::size_type last_separator =
        path.find_last_of(FilePath::kSeparators, last_dot - 1);
    if (penultimate_dot == StringType::npos ||
        (last_separator != StringType::npos && last_separator >= penultimate_dot)) {
        return last_dot;
    }
    const StringType::size_type middle_length = last_dot - penultimate_dot;
    if (middle_length > 5 || middle_length <= 1) {
        return last_dot;
    }
    return penultimate_dot;
}

}  // namespace

// static
const FilePath::CharType FilePath::kSeparators[] = "/";
// static
const FilePath::CharType FilePath::kCurrentDirectory[] = ".";
// static
const FilePath::CharType FilePath::kParentDirectory[] = "..";
// static
const FilePath::CharType FilePath::kExtensionSeparator = '.';

FilePath::FilePath() {}

FilePath::FilePath(const FilePath& that) : path_(that.path_) {}

FilePath::FilePath(const StringType& path) : path_(path) {}

FilePath::~FilePath() {}

FilePath& FilePath::operator=(const FilePath& that) {
    path_ = that.path_;
    return *this;
}

bool FilePath::operator==(const FilePath& that) const {
    return path_ == that.path_;
}

bool FilePath::operator!=(const FilePath& that) const {
    return path_ != that.path_;
}

// static
bool FilePath::IsSeparator(CharType character) {
    for (const CharType* separator = kSeparators; *separator != '\0'; ++separator) {
        if (character == *separator) {
            return true;
        }
    }
    return false;
}

void FilePath::GetComponents(std::vector<StringType>* components) const {
    if (components == nullptr) {
        return;
    }
    components->clear();
    if (path_.empty()) {
        return;
    }

    std::vector<StringType> ret_val;
    FilePath current = *this;
    for (FilePath parent = current.DirName(); parent != current; parent = current.DirName()) {
        const FilePath base = current.BaseName();
        if (!AreAllSeparators(base.value())) {
            ret_val.push_back(base.value());
        }
        current = parent;
    }

    // The root "/" or "//", or a leading ".." of a relative path; a leading "." is dropped.
    const FilePath base = current.BaseName();
    if (!base.value().empty() && base.value() != kCurrentDirectory) {
        ret_val.push_back(base.value());
    }

    const FilePath dir = current.DirName();
    const StringType::size_type letter = FindDriveLetter(dir.value());
    if (letter != StringType::npos) {
        ret_val.push_back(dir.value().substr(0, letter + 1));
    }

    components->assign(ret_val.rbegin(), ret_val.rend());
}

bool FilePath::AppendRelativePath(const FilePath& child, FilePath* path) const {
    std::vector<StringType> parent_components;
    std::vector<StringType> child_components;
    GetComponents(&parent_components);
    child.GetComponents(&child_components);

    if (parent_components.empty() || parent_components.size() >= child_components.size()) {
        return false;
    }
    if (!std::equal(parent_components.begin(), parent_components.end(), child_components.begin())) {
        return false;
    }
    if (path != nullptr) {
        for (std::vector<StringType>::size_type i = parent_components.size();
             i < child_components.size(); ++i) {
            *path = path->Append(child_components[i]);
        }
    }
    return true;
}

FilePath FilePath::DirName() const {
    FilePath new_path(path_);
    new_path.StripTrailingSeparatorsInternal();

    const StringType::size_type letter = FindDriveLetter(new_path.path_);
    const StringType::size_type last_separator = new_path.path_.find_last_of(kSeparators);
    if (last_separator == StringType::npos) {
        // No directory part.
        new_path.path_.resize(letter + 1);
    } else if (last_separator == letter + 1) {
        // The root.
        new_path.path_.resize(letter + 2);
    } else if (last_separator == letter + 2 && IsSeparator(new_path.path_[letter + 1])) {
        // A leading "//" is kept.
        new_path.path_.resize(letter + 3);
    } else {
        new_path.path_.resize(last_separator);
    }

    new_path.StripTrailingSeparatorsInternal();
    if (new_path.path_.empty()) {
        new_path.path_ = kCurrentDirectory;
    }
    return new_path;
}

FilePath FilePath::BaseName() const {
    FilePath new_path(path_);
    new_path.StripTrailingSeparatorsInternal();

    const StringType::size_type letter = FindDriveLetter(new_path.path_);
    if (letter != StringType::npos) {
        new_path.path_.erase(0, letter + 1);
    }

    // A path of separators only stays as stripped ("/" or "//").
    const StringType::size_type last_separator = new_path.path_.find_last_of(kSeparators);
    if (last_separator != StringType::npos && last_separator < new_path.path_.length() - 1) {
        new_path.path_.erase(0, last_separator + 1);
    }
    return new_path;
}

StringType FilePath::Extension() const {
    const StringType base = BaseName().value();
    const StringType::size_type dot = ExtensionSeparatorPosition(base);
    if (dot == StringType::npos) {
        return StringType();
    }
    return base.substr(dot);
}

FilePath FilePath::RemoveExtension() const {
    if (Extension().empty()) {
        return *this;
    }
    // Taken on the whole path, so a trailing separator goes with the extension (a.b/ -> a).
    const StringType::size_type dot = ExtensionSeparatorPosition(path_);
    return FilePath(path_.substr(0, dot));
}

FilePath FilePath::ReplaceExtension(const StringType& extension) const {
    if (path_.empty()) {
        return FilePath();
    }
    const StringType base = BaseName().value();
    if (base == kCurrentDirectory || base == kParentDirectory) {
        return FilePath();
    }

    const FilePath no_ext = RemoveExtension();
    if (extension.empty() || extension == StringType(1, kExtensionSeparator)) {
        return no_ext;
    }
    StringType str = no_ext.value();
    if (extension[0] != kExtensionSeparator) {
        str.append(1, kExtensionSeparator);
    }
    str.append(extension);
    return FilePath(str);
}

FilePath FilePath::Append(const StringType& component) const {
    if (path_ == kCurrentDirectory) {
        return FilePath(component);
    }

    FilePath new_path(path_);
    new_path.StripTrailingSeparatorsInternal();

    // A separator goes in between unless one side is empty or the path already ends in one
    // (the root). A component that starts with a separator is joined as it is.
    if (!component.empty() && !new_path.path_.empty() &&
        !IsSeparator(new_path.path_[new_path.path_.length() - 1]) &&
        new_path.path_.length() != FindDriveLetter(new_path.path_) + 1) {
        new_path.path_.append(1, kSeparators[0]);
    }
    new_path.path_.append(component);
    return new_path;
}

FilePath FilePath::Append(const FilePath& component) const {
    return Append(component.value());
}

bool FilePath::IsAbsolute() const {
    return IsPathAbsolute(path_);
}

bool FilePath::ReferencesParent() const {
    std::vector<StringType> components;
    GetComponents(&components);
    return std::find(components.begin(), components.end(), kParentDirectory) != components.end();
}

void FilePath::StripTrailingSeparatorsInternal() {
    // start is 1 here: a single leading separator is never removed.
    const StringType::size_type start = FindDriveLetter(path_) + 2;

    StringType::size_type last_stripped = StringType::npos;
    for (StringType::size_type pos = path_.length(); pos > start && IsSeparator(path_[pos - 1]);
         --pos) {
        // Exactly two leading separators stay; three or more alone collapse to one.
        if (pos != start + 1 || last_stripped == start + 2 || !IsSeparator(path_[start - 1])) {
            path_.resize(pos - 1);
            last_stripped = pos;
        }
    }
}
