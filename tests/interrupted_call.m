function latency = interrupted_call(setup, call, check)
% INTERRUPTED_CALL  How long after an interrupt (SIGINT) a call stopped, in
%   seconds. A child Octave runs SETUP and then CALL, which must assign
%   `result` and run far longer than a second; one second into it the child
%   gets SIGINT. The child then runs CHECK, which must show that the
%   session works (the next call gives the right answer), and exits with
%   status 3. Fails if the call finished or the child did not go on.
  paths = sprintf('addpath(''%s''); addpath(''%s''); ', fileparts(which('forestcast')), ...
                  fileparts(mfilename('fullpath')));
  out = tempname();
  first = [paths setup ' printf(''calling\\n''); fflush(stdout); ' call];
  after = ['printf(''back at %.3f\\n'', time()); ' ...
           'if exist(''result'', ''var''), disp(''the call finished''), end; ' check ' exit(3);'];
  script = sprintf(['(echo "%s"; echo "%s") | timeout 300 octave-cli --no-history --norc ' ...
                    '--quiet --interactive > %s.txt 2>&1 & child=$!; ' ...
                    'for i in $(seq 300); do grep -q calling %s.txt && break; sleep 0.1; done; ' ...
                    'sleep 1; date +%%s.%%N > %s.sent; kill -INT $child; wait $child; ' ...
                    'echo "status $?" >> %s.txt'], first, after, out, out, out, out);
  system(['bash -c ''' strrep(script, '''', '''\''''') '''']);
  text = fileread([out '.txt']);
  sent = str2double(fileread([out '.sent']));
  delete([out '.txt'], [out '.sent']);
  back = regexp(text, 'back at ([0-9.]+)', 'tokens', 'once');
  assert(~isempty(back) && ~isempty(strfind(text, 'status 3')) && ...
         isempty(strfind(text, 'the call finished')), 'the child said: %s', text);
  latency = str2double(back{1}) - sent;
end
