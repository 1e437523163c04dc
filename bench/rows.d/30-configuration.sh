# Scanning a large server configuration for the log and include directives,
# against grep -E over the same file.
lines=$(size 1000000 20000)
"$root/bench/make-inputs" conf "$work/apache2.conf" "$lines"
row "Configuration scan, $lines lines" --cpu 2 \
  --ours "'$build/bench/phbench-confscan' '$work/apache2.conf'" \
  --peer "grep -cE '^[[:space:]]*(CustomLog|ErrorLog|Include)' '$work/apache2.conf'"
# Twice the lines must not take more memory: the scan streams.
"$root/bench/make-inputs" conf "$work/small.conf" $((lines / 10))
row "Configuration scan memory, $lines vs $((lines / 10)) lines" --memory 1.1 \
  --ours "'$build/bench/phbench-confscan' '$work/apache2.conf'" \
  --peer "'$build/bench/phbench-confscan' '$work/small.conf'"
