#!/bin/sh
# Writes the man page of rawcrypt from the tool's own help, so that the page
# cannot say other than --help. `rawcrypt --help` gives the synopsis, the
# description (its second line and any other text before the first section),
# the commands ("  NAME  text"), the general options ("  -x, --opt  text")
# and the sections: a line "Heading: text" after a line that ends a sentence
# starts one. `rawcrypt COMMAND --help` gives each command's usage lines (not
# indented two), options ("  --opt ARG  text") and notes (indented two,
# filled into paragraphs).
# usage: manpage.sh PATH_TO_RAWCRYPT OUTPUT DATE
set -eu
tool=$1
out=$2
date=$3
trap 'rm -f "$out.in" "$out.tmp"' EXIT
help=$("$tool" --help)
version=$("$tool" --version)
commands=$(printf '%s\n' "$help" | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p')
{
  printf 'V %s\n' "${version%% (*}"
  printf '%s\n' "$help" | sed 's/^/H /'
  for command in $commands; do
    text=$("$tool" "$command" --help)  # a help that fails fails the page
    printf '%s\n' "$text" | sed "s/^/C $command /"
  done
} >"$out.in"
awk -v date="$date" '
# Text as roff reads it: backslashes, minus signs and double quotes escaped
# (the quotes for macro arguments), no line that could be taken for a request.
function roff(s) {
  gsub(/\\/, "\\e", s)
  gsub(/-/, "\\-", s)
  gsub(/"/, "\\(dq", s)
  if (s ~ /^[.'\'']/) s = "\\&" s
  return s
}
function sentence(s) { return toupper(substr(s, 1, 1)) substr(s, 2) }
# option(line): whether line is "  -x, --opt ARG  text"; sets tag and text.
function option(line,   at) {
  if (line !~ /^  -/) return 0
  at = index(substr(line, 3), "  ")
  if (at == 0) return 0
  tag = substr(line, 3, at - 1)
  text = substr(line, at + 2)
  sub(/^ +/, "", text)
  return 1
}
function flush_notes() {
  if (notes != "") print ".PP\n" roff(notes)
  notes = ""
}
function end_usage() {
  if (usage_open) print ".fi"
  usage_open = 0
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
  description = what "."
  ended = 1  # the line before ended a sentence or a list entry
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
      ended = 1
    } else if (option(line)) {
      option_tag[++options] = tag
      option_text[options] = text
      ended = 1
    } else if (ended && line ~ /^[A-Z][A-Za-z0-9 ()#\/-]*: /) {
      heading[++sections] = toupper(substr(line, 1, index(line, ":") - 1))
      body[sections] = substr(line, index(line, ":") + 2)
      ended = line ~ /\.$/
    } else if (line != "") {
      sub(/^ +/, "", line)
      if (sections > 0) body[sections] = body[sections] " " line
      else description = description " " line
      ended = line ~ /\.$/
    }
  }
  print ".TH RAWCRYPT 1 \"" date "\" \"" roff(version) "\" \"User Commands\""
  print ".SH NAME"
  print "rawcrypt \\- " roff(tolower(substr(what, 1, 1)) substr(what, 2))
  print ".SH SYNOPSIS"
  print ".B rawcrypt"
  print roff(usage)
  print ".SH DESCRIPTION"
  print roff(description)
  print ".SH COMMANDS"
  for (c = 1; c <= commands; ++c) {
    name = order[c]
    print ".SS " roff(name)
    print roff(sentence(summary[name])) "."
    n = split(detail[name], text_lines, "\n")
    for (i = 1; i <= n; ++i) {
      line = text_lines[i]
      if (line == "") continue
      if (option(line)) {
        end_usage()
        flush_notes()
        print ".TP\n.B " roff(tag) "\n" roff(text)
      } else if (line ~ /^  [^ ]/) {
        end_usage()
        sub(/^  /, "", line)
        notes = notes (notes == "" ? "" : " ") line
      } else {
        flush_notes()
        if (!usage_open) print ".PP\n.nf"
        usage_open = 1
        print roff(line)
      }
    }
    end_usage()
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
}' "$out.in" >"$out.tmp"
mv "$out.tmp" "$out"
