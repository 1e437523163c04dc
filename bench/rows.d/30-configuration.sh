# Scanning a large server configuration for the log and include directives,
# against grep -E over the same file.
#
# Both write their count to a file: with its output on /dev/null, grep -c
# stops at the first matching line (only its exit status could be seen), so
# it would scan a few kilobytes against our whole file. Both run in the C
# locale, grep's fastest: in a UTF-8 locale its [[:space:]] makes it about
# ten times slower (our scanner takes no notice of the locale).
lines=$(size 1000000 20000)
"$root/bench/make-inputs" conf "$work/apache2.conf" "$lines"
LC_ALL=C row "Configuration scan, $lines lines" --cpu 2 \
  --ours "'$build/bench/phbench-confscan' '$work/apache2.conf' > '$work/ours.count'" \
  --peer "grep -cE '^[[:space:]]*(CustomLog|ErrorLog|Include)' '$work/apache2.conf' > '$work/peer.count'"
# The same work on both sides: the same lines found.
if ! cmp -s "$work/ours.count" "$work/peer.count"; then
  echo "scripts/bench: the configuration scan found $(cat "$work/ours.count") lines, grep $(cat "$work/peer.count")" >&2
  exit 1
fi
# Twice the lines must not take more memory: the scan streams.
"$root/bench/make-inputs" conf "$work/small.conf" $((lines / 10))
row "Configuration scan memory, $lines vs $((lines / 10)) lines" --memory 1.1 \
  --ours "'$build/bench/phbench-confscan' '$work/apache2.conf'" \
  --peer "'$build/bench/phbench-confscan' '$work/small.conf'"
