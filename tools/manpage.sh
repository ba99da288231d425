#!/bin/sh
# Writes the man page of rawcrypt from the tool's own help, so that the page
# cannot say other than --help: `rawcrypt --help` gives the synopsis, the
# description, the commands, the general options and the sections (a line
# that begins "Heading: " starts one), `rawcrypt COMMAND --help` the usage
# lines (unindented or indented deeper than two) and notes (indented two) of
# each command.
# usage: manpage.sh PATH_TO_RAWCRYPT OUTPUT
set -eu
tool=$1
out=$2
help=$("$tool" --help)
version=$("$tool" --version)
commands=$(printf '%s\n' "$help" | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p')
{
  printf 'V %s\n' "${version%% (*}"
  printf '%s\n' "$help" | sed 's/^/H /'
  for command in $commands; do
    "$tool" "$command" --help | sed "s/^/C $command /"
  done
} | awk '
# Text as roff reads it: backslashes and minus signs escaped, no line that
# could be taken for a request.
function roff(s) {
  gsub(/\\/, "\\e", s)
  gsub(/-/, "\\-", s)
  if (s ~ /^[.'\'']/) s = "\\&" s
  return s
}
function sentence(s) { return toupper(substr(s, 1, 1)) substr(s, 2) }
function flush_notes() {
  if (notes != "") print ".PP\n" roff(notes)
  notes = ""
}
/^V / { version = substr($0, 3); next }
/^H / { help[++lines] = substr($0, 3); next }
/^C / {
  command = $2
  text = substr($0, length(command) + 4)
  sub(/^usage: /, "", text)
  detail[command] = detail[command] text "\n"
  next
}
END {
  usage = help[1]
  sub(/^usage: rawcrypt /, "", usage)
  what = help[2]
  sub(/\.$/, "", what)
  for (i = 3; i <= lines; ++i) {
    line = help[i]
    if (line ~ /^  [a-z][a-z0-9-]* /) {
      name = line
      sub(/^  /, "", name)
      sub(/ .*/, "", name)
      text = substr(line, length(name) + 3)
      sub(/^ +/, "", text)
      order[++commands] = name
      summary[name] = text
    } else if (line ~ /^  -/) {
      tag = line
      sub(/^  /, "", tag)
      sub(/   *.*/, "", tag)
      text = substr(line, length(tag) + 3)
      sub(/^ +/, "", text)
      option_tag[++options] = tag
      option_text[options] = text
    } else if (line ~ /^[A-Z][A-Za-z ]*: /) {
      heading[++sections] = toupper(substr(line, 1, index(line, ":") - 1))
      body[sections] = substr(line, index(line, ":") + 2)
    } else if (line != "" && sections > 0) {
      body[sections] = body[sections] " " line
    }
  }
  print ".TH RAWCRYPT 1 \"\" \"" roff(version) "\" \"User Commands\""
  print ".SH NAME"
  print "rawcrypt \\- " roff(tolower(substr(what, 1, 1)) substr(what, 2))
  print ".SH SYNOPSIS"
  print ".B rawcrypt"
  print roff(usage)
  print ".SH DESCRIPTION"
  print roff(what) "."
  print ".SH COMMANDS"
  for (c = 1; c <= commands; ++c) {
    name = order[c]
    print ".SS " roff(name)
    print roff(sentence(summary[name])) "."
    print ".PP\n.nf"
    n = split(detail[name], text_lines, "\n")
    notes = ""
    for (i = 1; i <= n; ++i) {
      line = text_lines[i]
      if (line ~ /^  [^ ]/) {
        sub(/^  /, "", line)
        notes = notes (notes == "" ? "" : " ") line
      } else if (line != "") {
        if (notes != "") { print ".fi"; flush_notes(); print ".PP\n.nf" }
        print roff(line)
      }
    }
    print ".fi"
    flush_notes()
  }
  for (s = 1; s <= sections; ++s) {
    print ".SH " roff(heading[s])
    print roff(sentence(body[s]))
    if (heading[s] == "OPTIONS") print_options()
  }
  if (!printed_options) { print ".SH OPTIONS"; print_options() }
}
function print_options() {
  for (o = 1; o <= options; ++o) print ".TP\n.B " roff(option_tag[o]) "\n" roff(option_text[o])
  printed_options = 1
}' >"$out.tmp"
mv "$out.tmp" "$out"
