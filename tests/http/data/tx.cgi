# CGI script for the HTTP client's test against a real web server (run by /bin/sh).
# With w=1 in the query it answers with the binary file blob.bin of the document root;
# otherwise with a text that echoes what the request carried.
case "$QUERY_STRING" in
  *w=1*)
    printf 'Content-Type: application/octet-stream\r\n\r\n'
    cat "$DOCUMENT_ROOT/blob.bin"
    ;;
  *)
    printf 'Content-Type: text/plain; charset=utf-8\r\n\r\n'
    printf 'user=%s\nvorbu=%s\nquery=%s\n' "$REMOTE_USER" "$HTTP_VORBU" "$QUERY_STRING"
    printf 'Serveriga ei saa \303\274hendust!\n'
    ;;
esac
