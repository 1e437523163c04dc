# The update panel downloading and saving a 200 MB new version from a
# loopback HTTPS server, against the same panel after the same check without
# the download: the download's peak memory above the idle panel.
bytes=$(size 200000000 20000000)
digest=$(head -c "$bytes" /dev/zero | tr '\0' x | sha256sum | cut -d' ' -f1)
row "200 MB update download, peak memory above the idle panel" --memory-above 32 \
  --ours "'$build/bench/phbench-download' $bytes $digest" \
  --peer "'$build/bench/phbench-download' --idle $bytes $digest"
